# Compiler settings shared by every target of ours (never by GoogleTest's).

option(KZ_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# The oldest Windows each build runs on: XP SP3 (5.1) for the 32-bit build,
# XP x64 / Server 2003 (5.2) for the 64-bit one. The same number goes into the
# exe's header, which the loader checks, and into the product's compile
# definitions, so that a newer function, constant or structure size does not
# compile at all.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KZ_OLDEST_WINDOWS_MINOR 2)
else()
    set(KZ_OLDEST_WINDOWS_MINOR 1)
endif()

# kz_target_options(target [PRODUCT]): PRODUCT marks code that ships in the
# program, which is built without exceptions or RTTI (nothing of either may
# cross into Win32 callbacks, and neither earns its size there).
function(kz_target_options target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "PRODUCT" "" "")
    target_compile_features(${target} PUBLIC cxx_std_20)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
        -Wold-style-cast -Wcast-qual -Wformat=2 -Wimplicit-fallthrough)
    if(arg_PRODUCT)
        if(WIN32)
            target_compile_definitions(${target} PRIVATE
                _WIN32_WINNT=0x050${KZ_OLDEST_WINDOWS_MINOR} WINVER=0x050${KZ_OLDEST_WINDOWS_MINOR})
        endif()
        # Each function and datum in its own section, so that the linker
        # can drop what the program never calls.
        target_compile_options(${target} PRIVATE
            -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)
    endif()
    # No build folder in the objects: the same sources give the same bytes
    # wherever they are built.
    target_compile_options(${target} PRIVATE
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
    if(KZ_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(MINGW)
        # One self-contained file: nothing but Windows' own DLLs at run time.
        target_link_options(${target} PRIVATE -static)
    endif()
endfunction()

# kz_windows_program(target): how every Windows program of ours is linked,
# the product and the start-up benchmark's baseline alike.
function(kz_windows_program target)
    kz_target_options(${target} PRODUCT)
    if(MINGW)
        target_link_options(${target} PRIVATE
            -Wl,--major-os-version,5,--minor-os-version,${KZ_OLDEST_WINDOWS_MINOR}
            -Wl,--major-subsystem-version,5,--minor-subsystem-version,${KZ_OLDEST_WINDOWS_MINOR}
            -municode                       # wWinMain as the entry point
            -Wl,--gc-sections               # drop every section nothing refers to
            -s                              # no symbols or debug information
            -Wl,--no-insert-timestamp       # the same bytes from the same sources
            -Wl,--tsaware)                  # no Terminal Server compatibility code
    endif()
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
endfunction()

# kz_console_tool(target): a test or benchmark helper for Windows with wmain.
function(kz_console_tool target)
    kz_target_options(${target})
    if(MINGW)
        target_link_options(${target} PRIVATE -municode)
    endif()
endfunction()
