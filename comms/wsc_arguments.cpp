// The WSC client's arguments: the vetting of the driver's argument text and the command line
// built from it. Pure logic over counted strings: no OS calls, so it builds natively for fuzzing.
#include <cstdio>
#include <cstring>

#include "comms/wsc_client.h"
#include "runtime/debug_log.h"
#include "runtime/os_paths.h"
#include "runtime/unistr.h"

namespace {

constexpr char kSpidSwitch[] = "/spid";
constexpr uint32_t kSpidTextMax = 64;  // " /spid " + 10 + ":" + 20 digits

bool StartsWithSpid(const char* text) {
    for (uint32_t i = 0; kSpidSwitch[i] != '\0'; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kSpidSwitch[i]) return false;
    }
    return true;
}

}  // namespace

SgWscArgumentFault SgCheckWSCClientArguments(const char* text, uint32_t* offset) {
    *offset = 0;
    if (text == nullptr) return SgWscArgumentFault::kNone;
    // Byte by byte: in UTF-8 these ASCII values never occur inside a multi-byte character.
    for (uint32_t i = 0; text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        SgWscArgumentFault fault = SgWscArgumentFault::kNone;
        if (c == '"') {
            fault = SgWscArgumentFault::kDoubleQuote;
        } else if (c < 0x20) {
            fault = SgWscArgumentFault::kControlCharacter;
        } else if (c == '/' && StartsWithSpid(text + i)) {
            fault = SgWscArgumentFault::kSpidSwitch;
        }
        if (fault != SgWscArgumentFault::kNone) {
            *offset = i;
            return fault;
        }
    }
    return SgWscArgumentFault::kNone;
}

UNICODE_STRING* SgBuildWSCClientCommandLine(const UNICODE_STRING* path, const char* arguments, uint32_t processId,
                                            uint64_t processKey) {
    const auto pid = static_cast<unsigned long>(processId);
    UNICODE_STRING* converted = SgCreateUnistrFromChar(arguments);
    if (converted == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed, SgCreateUnistrFromChar returned NULL, buf = %s", arguments);
        return nullptr;
    }
    char spid[kSpidTextMax];
    const int spidLength =
        snprintf(spid, sizeof(spid), " /spid %lu:%llu", pid, static_cast<unsigned long long>(processKey));
    wchar_t wideSpid[kSpidTextMax];
    for (int i = 0; i <= spidLength; ++i) wideSpid[i] = static_cast<wchar_t>(spid[i]);
    UNICODE_STRING* withSpid =
        SgAppendUnistrChars(converted, wideSpid, static_cast<uint32_t>(spidLength) * sizeof(wchar_t));
    SgFreeUnistr(converted);
    if (withSpid == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed, cmdlineadditional returned as NULL, buf = %s, source pid = %lu",
                     arguments, pid);
        return nullptr;
    }

    UNICODE_STRING quote = {sizeof(wchar_t), sizeof(wchar_t), const_cast<wchar_t*>(L"\"")};
    UNICODE_STRING* commandLine = nullptr;
    UNICODE_STRING* quoted = SgConcatUnistr(&quote, path);
    UNICODE_STRING* head = nullptr;
    if (quoted == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed, tmpunistr1 returned as NULL, wscclientpath = %S, source pid = %lu",
                     path != nullptr ? path->Buffer : nullptr, pid);
    } else if ((head = SgAppendUnistrChars(quoted, L"\" ", 2 * sizeof(wchar_t))) == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed, tmpunistr2 returned as NULL, wscclientpath = %S, source pid = %lu",
                     path->Buffer, pid);
    } else if ((commandLine = SgConcatUnistr(head, withSpid)) == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed, cmdargs returned as NULL, buf = %s, source pid = %lu", arguments, pid);
    }
    if (head != nullptr) SgFreeUnistr(head);
    if (quoted != nullptr) SgFreeUnistr(quoted);
    SgFreeUnistr(withSpid);
    return commandLine;
}
