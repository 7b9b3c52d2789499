// The order in which the user keys go back: open, then for each key its
// level word, label and command line, then flush and close.
#include "userkeys/RestoreUserKeys.h"

#include "registry/RegWriter.h"

namespace kz {

namespace {

class ResultRecorder {
public:
    void Step(RestoreStep step, int slot, WinError error) {
        if (error == win_error::kSuccess) {
            return;
        }
        if (step == RestoreStep::Write) {
            result_.unwritten = static_cast<std::uint16_t>(result_.unwritten | (1u << slot));
        }
        if (result_.Clean()) {
            result_.firstFailedStep = step;
            result_.firstFailedSlot = slot;
            result_.firstError = error;
        }
    }

    [[nodiscard]] const RestoreResult& result() const { return result_; }

private:
    RestoreResult result_;
};

}  // namespace

RestoreResult RestoreUserKeys(RegistryApi& registry) {
    ResultRecorder recorder;
    RegWriter writer(registry);
    recorder.Step(RestoreStep::Open, -1, writer.Open(RootKey::CurrentUser, kMmiUserKeyPath));
    int slot = 0;
    for (const UserKeyEntry& entry : UserKeyTable) {
        recorder.Step(RestoreStep::Write, slot++, writer.WriteDword(entry.levelName.c_str(), entry.levelWord));
        recorder.Step(RestoreStep::Write, slot++,
                      writer.WriteString(entry.labelName.c_str(), entry.label.c_str()));
        recorder.Step(RestoreStep::Write, slot++,
                      writer.WriteString(entry.commandName.c_str(), entry.commandLine.c_str()));
    }
    recorder.Step(RestoreStep::Flush, -1, writer.Flush());
    recorder.Step(RestoreStep::Close, -1, writer.Close());
    return recorder.result();
}

}  // namespace kz
