// Owners for the GDI handles the window creates, so that none outlives it.
#pragma once

#include <windows.h>

namespace kz {

class FontHandle {
public:
    FontHandle() = default;
    explicit FontHandle(HFONT font) : font_(font) {}
    ~FontHandle() { Reset(); }

    FontHandle(const FontHandle&) = delete;
    FontHandle& operator=(const FontHandle&) = delete;
    FontHandle& operator=(FontHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            font_ = other.font_;
            other.font_ = nullptr;
        }
        return *this;
    }

    [[nodiscard]] HFONT get() const { return font_; }

private:
    void Reset() {
        if (font_ != nullptr) {
            ::DeleteObject(font_);
            font_ = nullptr;
        }
    }

    HFONT font_ = nullptr;
};

// The screen's device context, for as long as a measurement takes.
class ScreenDC {
public:
    ScreenDC() : dc_(::GetDC(nullptr)) {}
    ~ScreenDC() {
        if (dc_ != nullptr) {
            ::ReleaseDC(nullptr, dc_);
        }
    }
    ScreenDC(const ScreenDC&) = delete;
    ScreenDC& operator=(const ScreenDC&) = delete;

    [[nodiscard]] HDC get() const { return dc_; }

private:
    HDC dc_;
};

}  // namespace kz
