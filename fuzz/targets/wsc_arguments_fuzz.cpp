// Command text from the driver: the split into name and arguments (SgExecuteCommand), the
// vetting of the WSC client's arguments and the command line built from them. The input is the
// payload text of an Exec command (a NUL is added).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "comms/command_attrs.h"
#include "comms/messages.h"
#include "comms/wsc_client.h"
#include "fuzz/platform/fuzz_support.h"
#include "runtime/os_paths.h"
#include "runtime/unistr.h"

using namespace nvx_wire;

namespace {

bool HasSpidAt(const std::u16string& s, size_t i) {
    static const char kSpid[] = "/spid";
    for (size_t k = 0; k < 5; ++k) {
        if (i + k >= s.size()) return false;
        char16_t c = s[i + k];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<char16_t>(kSpid[k])) return false;
    }
    return true;
}

// The vetting's promise: text it passes has no quote, no control character and no /spid.
void CheckVetting(const char* text) {
    uint32_t offset = 0;
    const SgWscArgumentFault fault = SgCheckWSCClientArguments(text, &offset);
    const size_t length = strlen(text);
    if (fault == SgWscArgumentFault::kNone) {
        NvxFuzzRequire(offset == 0, "no fault but an offset");
        return;
    }
    NvxFuzzRequire(offset < length, "a fault offset outside the text");
    const auto c = static_cast<unsigned char>(text[offset]);
    NvxFuzzRequire((fault == SgWscArgumentFault::kDoubleQuote && c == '"') ||
                       (fault == SgWscArgumentFault::kControlCharacter && c < 0x20) ||
                       (fault == SgWscArgumentFault::kSpidSwitch && c == '/'),
                   "a fault named for a character that is not there");
    // Nothing before the offset is a fault: the first one is reported.
    std::string before(text, offset);
    uint32_t ignored = 0;
    NvxFuzzRequire(SgCheckWSCClientArguments(before.c_str(), &ignored) == SgWscArgumentFault::kNone,
                   "an earlier fault was passed over");
}

// A started client's command line: "<path>" <vetted text> /spid <pid>:<key>, nothing forged.
void CheckCommandLine(const std::u16string& line) {
    size_t quotes = 0, spids = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        NvxFuzzRequire(line[i] >= 0x20, "a control character on the client's command line");
        if (line[i] == u'"') ++quotes;
        if (HasSpidAt(line, i)) ++spids;
    }
    NvxFuzzRequire(quotes == 2 && line[0] == u'"', "the client's path is not the one quoted part");
    NvxFuzzRequire(spids == 1, "the client's command line does not hold exactly one /spid");
    static const char16_t kTail[] = u" /spid 777:1311768467294899696";
    const std::u16string tail(kTail);
    NvxFuzzRequire(line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0,
                   "the requester's identity is not what ends the command line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzInit(kNvxFuzzMemory | kNvxFuzzPaths | kNvxFuzzCommands);
    if (size > 8192) return -1;
    const NvxFuzzBaseline baseline = NvxFuzzTakeBaseline();
    NvxFuzzResetObserved();

    std::string text(reinterpret_cast<const char*>(data), size);
    CheckVetting(text.c_str());

    // The command line builder on its own, for text the vetting passed.
    uint32_t offset = 0;
    if (SgCheckWSCClientArguments(text.c_str(), &offset) == SgWscArgumentFault::kNone) {
        UNICODE_STRING* line = SgBuildWSCClientCommandLine(WSCClientFile, text.c_str(), 777, 0x1234567890ABCDF0ull);
        if (line != nullptr) {
            NvxFuzzRequire(
                line->Length % 2 == 0 && line->Length < line->MaximumLength && line->Buffer[line->Length / 2] == 0,
                "a command line that is not NUL-terminated");
            CheckCommandLine(std::u16string(reinterpret_cast<const char16_t*>(line->Buffer), line->Length / 2));
            SgFreeUnistr(line);
        }
    }

    // The same text as an Exec command from the driver.
    const uint32_t payload = static_cast<uint32_t>(size + 1);
    SgMessage* m = SgCreateCommandMessage(kServiceComponentId, payload, kKindExec);
    NvxFuzzRequire(m != nullptr, "no command message");
    CommandMsg* c = SgCommandOf(m);
    c->flags = kFlagRequest | kFlagFinal;
    c->sourceComponentId = 12;
    c->sourceProcessId = 777;
    c->sourceProcessKey = 0x1234567890ABCDF0ull;
    memcpy(m->payload, data, size);
    m->outgoing = 0;
    if (!SgExecuteCommand(m)) SgDestroyMessage(m);
    const NvxFuzzObserved& seen = NvxFuzzObservedCalls();
    NvxFuzzRequire(seen.repliesRouted <= 1, "a command received two final replies");
    if (seen.processStarts > 0) CheckCommandLine(seen.lastCommandLine);

    NvxFuzzCheckBaseline(baseline, "one command text");
    return 0;
}
