// The driver simulator's round-trip load (see driver_flood.h).
#include "sim/driver_flood.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "comms/wire_format.h"
#include "sim/driver_options.h"
#include "sim/driver_ports.h"

namespace w = nvx_wire;
using nvxsim::Json;

namespace nvxdriver {

namespace {

constexpr uint64_t kDefaultSeconds = 10;
constexpr uint64_t kDefaultWarmupMs = 500;
constexpr uint64_t kDefaultReplyWaitMs = 5000;
constexpr uint32_t kSourceComponent = 12;

// The nearest-rank percentile of sorted values: the smallest value with at least `percent` of
// all values at or below it.
double Percentile(const std::vector<double>& sorted, unsigned percent) {
    if (sorted.empty()) return 0;
    size_t rank = (sorted.size() * percent + 99) / 100;
    return sorted[rank == 0 ? 0 : rank - 1];
}

std::string Fixed(double value, int decimals) {
    char text[48];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The Get command with this request ID and text (NUL included), as `send` builds it by default.
std::vector<uint8_t> GetCommand(uint32_t requestId, const std::string& text) {
    w::CommandMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeCommand, w::kTagCommand,
                static_cast<uint32_t>(sizeof m + text.size() + 1)};
    m.bodyVersion = w::kBodyVersion;
    m.flags = w::kFlagRequest | w::kFlagFinal;
    m.kind = w::kKindGet;
    m.payloadFormat = w::kPayloadText;
    m.requestId = requestId;
    m.sourceComponentId = kSourceComponent;
    m.destinationComponentId = w::kServiceComponentId;
    std::vector<uint8_t> message(m.header.size, 0);  // the text's NUL included
    memcpy(message.data(), &m, sizeof m);
    memcpy(message.data() + sizeof m, text.data(), text.size());
    return message;
}

}  // namespace

int FloodCommand(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t seconds, warmupMs, connId, replyWaitMs;
    if (!ParseOptions(args, 1, {"--seconds", "--warmup-ms", "--conn", "--timeout-ms"}, {}, &o, &problem) ||
        !NumberOption(o, "--seconds", kDefaultSeconds, 3600, &seconds, &problem) ||
        !NumberOption(o, "--warmup-ms", kDefaultWarmupMs, 600000, &warmupMs, &problem) ||
        !NumberOption(o, "--conn", 0, UINT32_MAX, &connId, &problem) ||
        !NumberOption(o, "--timeout-ms", kDefaultReplyWaitMs, UINT32_MAX - 1, &replyWaitMs, &problem)) {
        return r->Fail(2, problem);
    }
    if (seconds == 0) return r->Fail(2, "--seconds is at least 1");
    const std::string text = o.words.empty() ? "Version" : Joined(o.words);
    if (text.size() + 1 > w::kMaxCommandPayload) return r->Fail(2, "the command text is too long");
    std::shared_ptr<Connection> c = TargetConnection(connId);
    if (!c) {
        return r->Fail(1,
                       connId ? "no connection " + std::to_string(connId) : "no connection on the asynchronous port");
    }

    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    const double ticksPerMicro = static_cast<double>(frequency.QuadPart) / 1e6;
    QueryPerformanceCounter(&start);
    const LONGLONG measureFrom = start.QuadPart + static_cast<LONGLONG>(warmupMs * 1000 * ticksPerMicro);
    const LONGLONG end = measureFrom + static_cast<LONGLONG>(seconds * 1000000 * ticksPerMicro);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(seconds) * 20000);
    std::string firstReply;
    uint64_t warmup = 0;
    LONGLONG firstSent = 0, lastReplied = 0;  // the measured span
    for (;;) {
        QueryPerformanceCounter(&now);
        if (now.QuadPart >= end) break;
        ReplyWaiter waiter;
        waiter.requestId = NextRequestId();
        const std::vector<uint8_t> message = GetCommand(waiter.requestId, text);
        WatchReplies(&waiter);
        LARGE_INTEGER sent, replied;
        QueryPerformanceCounter(&sent);
        uint64_t messageId = 0;
        const bool delivered = Deliver(*c, message, kDefaultWriteWaitMs, &messageId, &problem);
        EndReplyWatch(&waiter, delivered ? replyWaitMs : 0);
        QueryPerformanceCounter(&replied);
        if (!delivered) return r->Fail(1, problem);
        if (!waiter.final) {
            return r->Fail(1, "no final reply to request " + std::to_string(waiter.requestId) + " within " +
                                  std::to_string(replyWaitMs) + " ms");
        }
        if (firstReply.empty() && !waiter.replies.empty()) firstReply = waiter.replies.back();
        if (sent.QuadPart < measureFrom) {
            ++warmup;
        } else {
            if (latencies.empty()) firstSent = sent.QuadPart;
            lastReplied = replied.QuadPart;
            latencies.push_back(static_cast<double>(replied.QuadPart - sent.QuadPart) / ticksPerMicro);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    double total = 0;
    for (double us : latencies) total += us;
    const double spanSeconds = static_cast<double>(lastReplied - firstSent) / ticksPerMicro / 1e6;
    Json j;
    j.Str("event", "flood").Num("conn", ConnectionId(*c)).Str("command", text).Num("seconds", seconds);
    j.Num("warmup_round_trips", warmup).Num("round_trips", latencies.size()).Raw("span_s", Fixed(spanSeconds, 3));
    j.Raw("per_second", Fixed(spanSeconds > 0 ? static_cast<double>(latencies.size()) / spanSeconds : 0, 1));
    j.Raw("mean_us", Fixed(latencies.empty() ? 0 : total / static_cast<double>(latencies.size()), 1));
    j.Raw("p50_us", Fixed(Percentile(latencies, 50), 1)).Raw("p99_us", Fixed(Percentile(latencies, 99), 1));
    j.Raw("max_us", Fixed(latencies.empty() ? 0 : latencies.back(), 1));
    if (!firstReply.empty()) j.Raw("reply", firstReply);
    r->Line(j);
    return 0;
}

}  // namespace nvxdriver
