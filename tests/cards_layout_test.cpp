// The column arithmetic of a card group: how many columns a width holds, how
// wide they stretch, where each card goes, and when a group lays itself out
// again as the window is resized.
#include <gtest/gtest.h>

#include "cards_detail.h"

namespace {

using namespace ui::detail;

TEST(ColumnCount, FollowsTheVisibleWidth) {
    EXPECT_EQ(column_count(1000, 300, 5), 3);  // 1010 / 310
    EXPECT_EQ(column_count(530, 260, 5), 2);   // 540 / 270
    EXPECT_EQ(column_count(529, 260, 5), 1);
    EXPECT_EQ(column_count(100, 260, 5), 1);   // narrower than one column
    EXPECT_EQ(column_count(5000, 260, 3), 3);  // never more columns than cards
    EXPECT_EQ(column_count(5000, 260, 1), 1);
}

TEST(ColumnCount, ColumnsStretchToFillButNeverShrink) {
    EXPECT_EQ(stretched_width(300, 1000, 3), 315);  // (1000 - 34 - 20) / 3
    EXPECT_EQ(stretched_width(400, 1000, 3), 400);
    EXPECT_EQ(stretched_width(300, 0, 3), 300);  // no allocation seen yet
    EXPECT_EQ(stretched_width(260, 800, 1), 766);
}

TEST(CardPlacement, TallestFirstIntoTheShortestColumn) {
    // A 300, B 200, C 200 in two columns: A left, B right, C right.
    EXPECT_EQ(place_cards({300, 200, 200}, 2), (std::vector<int>{0, 1, 1}));
    // Equal heights keep page order; ties between columns go left.
    EXPECT_EQ(place_cards({100, 100, 100, 100}, 3), (std::vector<int>{0, 1, 2, 0}));
    EXPECT_EQ(place_cards({50, 400, 100, 120, 90}, 2), (std::vector<int>{1, 0, 1, 1, 1}));
    EXPECT_EQ(place_cards({10, 20}, 1), (std::vector<int>{0, 0}));
    EXPECT_TRUE(place_cards({}, 3).empty());
}

TEST(CardPlacement, EstimatesCountEveryKindOfContent) {
    probe::Card c;
    EXPECT_EQ(estimate_height(c), 34);
    c.rows.resize(3);
    c.caches.resize(2);
    c.chips.resize(5);
    c.slots.resize(1);
    c.usage = {{"a", 1, 2, ""}, {"b", 0, 0, ""}};
    c.hint = "note";
    c.cores.resize(64);  // drawn tiles and diagrams add nothing
    EXPECT_EQ(estimate_height(c), 34 + 66 + 68 + 50 + 40 + 42 + 40);
}

// Simulates the idle repack finishing: the group now shows n columns.
void repacked(ColumnsPlan& st, int n) {
    st.pending = false;
    st.current = n;
}

TEST(ColumnsPlanning, ResizeSequenceRelaysOnlyWhenNeeded) {
    const int colw = 300, cards = 6;
    ColumnsPlan st;
    repacked(st, 1);  // the page builder's first fill

    // First real allocation at 1000 px: three columns.
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 3);
    EXPECT_EQ(st.avail, 1000);
    // Further allocations before the repack ran schedule nothing more.
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 0);
    repacked(st, 3);

    // Same count: two re-measure passes, then quiet.
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 3);
    EXPECT_EQ(st.current, -1);
    repacked(st, 3);
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 3);
    repacked(st, 3);
    EXPECT_EQ(st.remeasured, 2);
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 0);
    EXPECT_EQ(plan_allocation(st, 1000, colw, cards), 0);

    // Narrowing: the count changes and is always laid out.
    EXPECT_EQ(plan_allocation(st, 640, colw, cards), 2);
    repacked(st, 2);
    EXPECT_EQ(plan_allocation(st, 640, colw, cards), 0);
    EXPECT_EQ(plan_allocation(st, 300, colw, cards), 1);
    repacked(st, 1);

    // Widening again after the columns were stretched: the stretched width
    // decides, so it takes more room to come back to two columns.
    int stretched = stretched_width(colw, 300, 1);
    EXPECT_EQ(stretched, colw);  // 300 px leave no stretch
    int wide = stretched_width(colw, 600, 1);
    EXPECT_EQ(wide, 566);
    EXPECT_EQ(plan_allocation(st, 800, wide, cards), 0);  // 810 / 576 = 1: unchanged
    EXPECT_EQ(plan_allocation(st, 1150, wide, cards), 2);
}

TEST(ColumnsPlanning, SingleCardGroupStaysOneColumn) {
    ColumnsPlan st;
    st.current = 1;
    for (int width : {200, 800, 3000}) {
        int n = plan_allocation(st, width, 260, 1);
        EXPECT_TRUE(n == 0 || n == 1) << width;
        if (n) repacked(st, n);
    }
    EXPECT_EQ(st.current, 1);
}

}  // namespace
