#include <gtest/gtest.h>

#include "probe.h"

namespace {

TEST(PageModel, EmptyCardRules) {
    probe::Card card;
    card.title = "Title";
    card.subtitle = "3";
    card.wide = true;
    EXPECT_TRUE(card.empty());

    probe::Card hint_only;
    hint_only.hint = "notice";
    EXPECT_FALSE(hint_only.empty());

    probe::Card diagram;
    diagram.kind = probe::CardKind::Diagram;
    diagram.diagram.label = "Machine";
    diagram.diagram.detail = "detail";
    EXPECT_TRUE(diagram.empty());
    diagram.diagram.children.emplace_back();
    EXPECT_FALSE(diagram.empty());

    probe::Card zero_bar;
    zero_bar.kind = probe::CardKind::Usage;
    zero_bar.usage.push_back({"Swap", 0, 0, ""});
    EXPECT_FALSE(zero_bar.empty());

    for (auto fill : std::vector<void (*)(probe::Card&)>{
             [](probe::Card& c) { c.rows.emplace_back(); }, [](probe::Card& c) { c.chips.emplace_back(); },
             [](probe::Card& c) { c.caches.emplace_back(); }, [](probe::Card& c) { c.cores.emplace_back(); },
             [](probe::Card& c) { c.slots.emplace_back(); }}) {
        probe::Card c;
        fill(c);
        EXPECT_FALSE(c.empty());
    }
}

TEST(PageModel, Defaults) {
    probe::Card card;
    EXPECT_EQ(card.kind, probe::CardKind::Rows);
    EXPECT_FALSE(card.wide);
    EXPECT_FALSE(card.hint_elevates);
    EXPECT_EQ(card.diagram.kind, probe::TopoNode::Kind::Machine);
    EXPECT_EQ(card.diagram.cpu, -1);
    EXPECT_TRUE(card.diagram.online);

    probe::Core core;
    EXPECT_EQ(core.package, -1);
    EXPECT_EQ(core.core_id, -1);
    EXPECT_TRUE(core.online);
    EXPECT_TRUE(core.first_thread);
    EXPECT_EQ(core.cur_khz, 0u);

    probe::Page page;
    EXPECT_EQ(page.selector.selected, 0);
    EXPECT_TRUE(page.selector.options.empty());

    probe::Row row("n", "v", "note", true, "cpu.freq", "x");
    EXPECT_EQ(row.name, "n");
    EXPECT_EQ(row.value, "v");
    EXPECT_EQ(row.note, "note");
    EXPECT_TRUE(row.locked);
    EXPECT_EQ(row.live, "cpu.freq");
    EXPECT_EQ(row.extra, "x");
    EXPECT_TRUE(row.cols.empty());
    EXPECT_EQ(static_cast<int>(probe::CardKind::Diagram), 7);
    EXPECT_EQ(static_cast<int>(probe::TopoNode::Kind::Thread), 5);
}

TEST(PageModel, DeepTreesCopyAndMove) {
    probe::TopoNode root;
    probe::TopoNode* cur = &root;
    for (int i = 0; i < 5; ++i) {
        cur->children.emplace_back();
        cur = &cur->children.back();
        cur->label = "level" + std::to_string(i);
    }
    probe::Card card;
    card.diagram = root;
    probe::Card moved = std::move(card);
    EXPECT_EQ(moved.diagram.children[0].children[0].children[0].children[0].children[0].label, "level4");
}

}  // namespace
