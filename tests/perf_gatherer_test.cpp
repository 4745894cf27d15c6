// Counter discovery's text work: the lists an enumeration returns, walked within their length,
// and the paths built from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "perf/counter_paths.h"

namespace {

using Kestro::Perf::CounterPaths;
using Kestro::Perf::SplitMultiString;
using Strings = std::vector<std::string>;

TEST(CounterPathsTest, MultiStringsAreReadWithinTheirLength) {
    const std::string list("Reads\0Writes\0\0", 14);
    EXPECT_EQ(SplitMultiString(list.data(), list.size()), (Strings{"Reads", "Writes"}));
    EXPECT_EQ(SplitMultiString(list.data(), 0), Strings{});
    // A list whose terminators lie beyond the returned length: the walk stops at the length.
    EXPECT_EQ(SplitMultiString(list.data(), 8), (Strings{"Reads", "Wr"}));
    // An empty first string ends the list, whatever follows it.
    const std::string empty("\0Reads\0\0", 8);
    EXPECT_EQ(SplitMultiString(empty.data(), empty.size()), Strings{});
}

TEST(CounterPathsTest, PathsFollowTheSetsShape) {
    const Strings counters{"Total reads", "Totals", "total x", "Writes"};
    EXPECT_EQ(CounterPaths("Set", counters, false, {}, false),
              (Strings{"\\Set\\Total reads", "\\Set\\Totals", "\\Set\\total x", "\\Set\\Writes"}));
    // Every counter of every instance, instance by instance.
    EXPECT_EQ(CounterPaths("Set", {"A", "B"}, true, {"x", "y"}, false),
              (Strings{"\\Set(x)\\A", "\\Set(x)\\B", "\\Set(y)\\A", "\\Set(y)\\B"}));
    // Only "Total " counters (capital T, trailing blank) where the rule applies, for every instance.
    EXPECT_EQ(CounterPaths("Set", counters, true, {"x", "y"}, true),
              (Strings{"\\Set(x)\\Total reads", "\\Set(y)\\Total reads"}));
    // The rule is about sets with instances: a set without them keeps every counter.
    EXPECT_EQ(CounterPaths("Set", counters, false, {}, true).size(), counters.size());
    // An instance list that is there but starts with an empty name gives no columns.
    EXPECT_EQ(CounterPaths("Set", counters, true, {}, false), Strings{});
}

}  // namespace
