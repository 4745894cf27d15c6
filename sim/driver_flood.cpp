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
constexpr uint64_t kDefaultSliceMs = 100;
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

// One connection's share of a flood: its round trips, timed.
struct Side {
    std::shared_ptr<Connection> connection;
    std::vector<double> latencies;  // µs, of the measured round trips
    uint64_t warmup = 0;
    LONGLONG measuredTicks = 0;  // the sum of its slices, each from its first send to its last reply
    std::string firstReply;
};

// One round trip on `side`: the command sent, its final reply awaited. False (with `problem`)
// when it could not be delivered or no final reply came within replyWaitMs.
bool RoundTrip(Side* side, const std::string& text, uint64_t replyWaitMs, LONGLONG* sent, LONGLONG* replied,
               std::string* problem) {
    ReplyWaiter waiter;
    waiter.requestId = NextRequestId();
    const std::vector<uint8_t> message = GetCommand(waiter.requestId, text);
    WatchReplies(&waiter);
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    uint64_t messageId = 0;
    const bool delivered = Deliver(*side->connection, message, kDefaultWriteWaitMs, &messageId, problem);
    EndReplyWatch(&waiter, delivered ? replyWaitMs : 0);
    QueryPerformanceCounter(&after);
    if (!delivered) return false;
    if (!waiter.final) {
        *problem = "no final reply to request " + std::to_string(waiter.requestId) + " on connection " +
                   std::to_string(ConnectionId(*side->connection)) + " within " + std::to_string(replyWaitMs) + " ms";
        return false;
    }
    if (side->firstReply.empty() && !waiter.replies.empty()) side->firstReply = waiter.replies.back();
    *sent = before.QuadPart;
    *replied = after.QuadPart;
    return true;
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

Json Result(const Side& side, const std::string& text, uint64_t seconds, double ticksPerMicro) {
    std::vector<double> latencies = side.latencies;
    std::sort(latencies.begin(), latencies.end());
    double total = 0;
    for (double us : latencies) total += us;
    const double spanSeconds = static_cast<double>(side.measuredTicks) / ticksPerMicro / 1e6;
    Json j;
    j.Str("event", "flood").Num("conn", ConnectionId(*side.connection)).Str("command", text).Num("seconds", seconds);
    j.Num("warmup_round_trips", side.warmup).Num("round_trips", latencies.size()).Raw("span_s", Fixed(spanSeconds, 3));
    j.Raw("per_second", Fixed(spanSeconds > 0 ? static_cast<double>(latencies.size()) / spanSeconds : 0, 1));
    j.Raw("mean_us", Fixed(latencies.empty() ? 0 : total / static_cast<double>(latencies.size()), 1));
    j.Raw("p50_us", Fixed(Percentile(latencies, 50), 1)).Raw("p99_us", Fixed(Percentile(latencies, 99), 1));
    j.Raw("max_us", Fixed(latencies.empty() ? 0 : latencies.back(), 1));
    if (!side.firstReply.empty()) j.Raw("reply", side.firstReply);
    return j;
}

}  // namespace

int FloodCommand(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t seconds, warmupMs, connId, besideId, sliceMs, replyWaitMs;
    if (!ParseOptions(args, 1, {"--seconds", "--warmup-ms", "--conn", "--beside", "--slice-ms", "--timeout-ms"}, {}, &o,
                      &problem) ||
        !NumberOption(o, "--seconds", kDefaultSeconds, 3600, &seconds, &problem) ||
        !NumberOption(o, "--warmup-ms", kDefaultWarmupMs, 600000, &warmupMs, &problem) ||
        !NumberOption(o, "--conn", 0, UINT32_MAX, &connId, &problem) ||
        !NumberOption(o, "--beside", 0, UINT32_MAX, &besideId, &problem) ||
        !NumberOption(o, "--slice-ms", kDefaultSliceMs, 60000, &sliceMs, &problem) ||
        !NumberOption(o, "--timeout-ms", kDefaultReplyWaitMs, UINT32_MAX - 1, &replyWaitMs, &problem)) {
        return r->Fail(2, problem);
    }
    if (seconds == 0) return r->Fail(2, "--seconds is at least 1");
    if (sliceMs == 0) return r->Fail(2, "--slice-ms is at least 1");
    const bool beside = o.values.count("--beside") != 0;
    if (beside && besideId == 0) return r->Fail(2, "--beside takes a connection number");
    const std::string text = o.words.empty() ? "Version" : Joined(o.words);
    if (text.size() + 1 > w::kMaxCommandPayload) return r->Fail(2, "the command text is too long");
    std::vector<Side> sides(1);
    sides[0].connection = TargetConnection(connId);
    if (!sides[0].connection) {
        return r->Fail(1,
                       connId ? "no connection " + std::to_string(connId) : "no connection on the asynchronous port");
    }
    if (beside) {
        if (besideId == ConnectionId(*sides[0].connection)) {
            return r->Fail(2, "--beside names the flooded connection itself");
        }
        sides.emplace_back();
        sides[1].connection = TargetConnection(besideId);
        if (!sides[1].connection) return r->Fail(1, "no connection " + std::to_string(besideId));
    }

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double ticksPerMicro = static_cast<double>(frequency.QuadPart) / 1e6;
    const auto ticks = [ticksPerMicro](uint64_t micros) {
        return static_cast<LONGLONG>(static_cast<double>(micros) * ticksPerMicro);
    };
    LONGLONG sent = 0, replied = 0;
    for (Side& side : sides) {
        const LONGLONG warmEnd = Now() + ticks(warmupMs * 1000);
        while (Now() < warmEnd) {
            if (!RoundTrip(&side, text, replyWaitMs, &sent, &replied, &problem)) return r->Fail(1, problem);
            ++side.warmup;
        }
    }
    // Slices in turn, so that every side meets the same load of the host over the whole run.
    const LONGLONG share = ticks(seconds * 1000000);
    for (bool more = true; more;) {
        more = false;
        for (Side& side : sides) {
            if (side.measuredTicks >= share) continue;
            const LONGLONG sliceEnd = Now() + std::min(ticks(sliceMs * 1000), share - side.measuredTicks);
            LONGLONG first = 0, last = 0;
            do {
                if (!RoundTrip(&side, text, replyWaitMs, &sent, &replied, &problem)) return r->Fail(1, problem);
                if (first == 0) first = sent;
                last = replied;
                side.latencies.push_back(static_cast<double>(replied - sent) / ticksPerMicro);
            } while (last < sliceEnd);
            side.measuredTicks += last - first;
            more = more || side.measuredTicks < share;
        }
    }
    for (const Side& side : sides) r->Line(Result(side, text, seconds, ticksPerMicro));
    return 0;
}

}  // namespace nvxdriver
