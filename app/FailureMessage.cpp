#include "app/FailureMessage.h"

#include "app/Texts.h"

namespace kz {

FailureText FailureMessage(const RestoreResult& result, std::u16string_view systemText) {
    FailureText message;
    message << text::kFailureHeadline << u"\n\n"
            << text::kFailureKey << kMmiUserKeyPath << u"\n"
            << text::kFailureUnwritten;
    bool any = false;
    for (int slot = 0; slot < kUserKeyValueCount; ++slot) {
        if (!result.Written(slot)) {
            message << (any ? text::kFailureListSeparator : u"") << UserKeyValueName(slot);
            any = true;
        }
    }
    if (!any) {
        message << text::kFailureNone;
    }

    message << u"\n" << text::kFailureStep;
    switch (result.firstFailedStep) {
    case RestoreStep::Open:
        message << text::kFailureStepOpen;
        break;
    case RestoreStep::Write:
        message << text::kFailureStepWrite << UserKeyValueName(result.firstFailedSlot);
        break;
    case RestoreStep::Flush:
        message << text::kFailureStepFlush;
        break;
    case RestoreStep::Close:
        message << text::kFailureStepClose;
        break;
    case RestoreStep::None:
        break;
    }
    message << u"\n" << text::kFailureError << result.firstError;
    if (!systemText.empty()) {
        message << text::kFailureErrorTextLead << systemText;
    }
    message << u"\n\n" << text::kFailureAdvice;
    return message;
}

}  // namespace kz
