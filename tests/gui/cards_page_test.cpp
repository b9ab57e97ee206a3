// ui::build_page on a hand-made page holding every card kind, shown in a real
// window: the widgets each kind gets, the live labels handed to the tick, the
// buttons and the selector calling back, and the column groups following the
// window's width.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

#include "cards.h"
#include "cards_detail.h"
#include "i18n.h"
#include "theme.h"
#include "window_fixture.h"

namespace {

using zqtest::each_widget;
using zqtest::pump_for;

bool has_class(GtkWidget* w, const char* cls) {
    return gtk_style_context_has_class(gtk_widget_get_style_context(w), cls);
}

std::vector<GtkWidget*> with_class(GtkWidget* root, const char* cls) {
    std::vector<GtkWidget*> out;
    each_widget(root, [&](GtkWidget* w) {
        if (has_class(w, cls)) out.push_back(w);
    });
    return out;
}

template <typename Test>
std::vector<GtkWidget*> of_type(GtkWidget* root, Test is) {
    std::vector<GtkWidget*> out;
    each_widget(root, [&](GtkWidget* w) {
        if (is(w)) out.push_back(w);
    });
    return out;
}

GtkWidget* label_with_text(GtkWidget* root, const std::string& text) {
    GtkWidget* found = nullptr;
    each_widget(root, [&](GtkWidget* w) {
        if (!found && GTK_IS_LABEL(w) && text == gtk_label_get_text(GTK_LABEL(w))) found = w;
    });
    return found;
}

probe::Row row(const std::string& name, const std::string& value, const std::string& note = "",
               const std::string& live = "", const std::string& extra = "", bool locked = false) {
    return probe::Row(name, value, note, locked, live, extra);
}

probe::Card card(const std::string& title, probe::CardKind kind) {
    probe::Card c;
    c.title = title;
    c.kind = kind;
    return c;
}

probe::TopoNode topo(probe::TopoNode::Kind kind, const std::string& label, int cpu = -1) {
    probe::TopoNode n;
    n.kind = kind;
    n.label = label;
    n.cpu = cpu;
    return n;
}

// Every card kind once, two wide cards between the groups, and the rows that
// exercise the grid's rules.
probe::Page every_kind_page() {
    probe::Page page;
    page.headline = "Test processor 9000";
    page.subline = "8 cores   ·   16 threads";
    page.stats = {{"Clock", "3.20", "GHz", "stat.freq"}, {"Cores", "8", "", ""}};
    page.selector = {"Socket", {"All", "Socket 0", "Socket 1"}, 0, {-1, 0, 1}};

    probe::Card rows = card("Identification", probe::CardKind::Rows);
    rows.subtitle = "from CPUID";
    rows.rows = {row("Vendor", "GenuineTest"),
                 row("Clock", "3.20 GHz", "", "cpu.freq"),
                 row("Family", "1234"),
                 row("Empty", ""),
                 row("Microcode", "a rather long value of many bytes", "/proc/cpuinfo"),
                 row("Long", "another long value of many bytes"),
                 row("Serial", "", "dmi", "", "side", true)};
    probe::Row three("Lanes", "", "", false, "pci.link", "");
    three.cols = {"x16", "8 GT/s", "x8"};
    probe::Row seven("Many", "", "", false, "pci.many", "");
    seven.cols = {"1", "2", "3", "4", "5", "6", "7"};
    rows.rows.push_back(three);
    rows.rows.push_back(seven);
    rows.hint = "Serial numbers need administrator rights.";
    rows.hint_elevates = true;
    page.cards.push_back(rows);

    probe::Card chips = card("Features", probe::CardKind::Chips);
    chips.chips = {{"SSE4.2", ""}, {"AVX2", ""}, {"AES", ""}};
    page.cards.push_back(chips);

    probe::Card caches = card("Caches", probe::CardKind::Caches);
    caches.caches = {{1, "L1d", "Data", 32768, {32768}, "8", "64", ""},
                     {2, "L2", "Unified", 1 << 20, {1 << 20}, "", "", ""}};
    page.cards.push_back(caches);

    probe::Card wide_cores = card("Cores", probe::CardKind::Cores);
    wide_cores.wide = true;
    for (int i = 0; i < 4; ++i) {
        probe::Core c;
        c.index = i;
        c.package = 0;
        c.core_id = i;
        c.cur_khz = 2000000;
        wide_cores.cores.push_back(c);
    }
    page.cards.push_back(wide_cores);

    probe::Card diagram = card("Topology", probe::CardKind::Diagram);
    diagram.wide = true;
    probe::TopoNode core = topo(probe::TopoNode::Kind::Core, "Core 0");
    core.children = {topo(probe::TopoNode::Kind::Thread, "0", 0),
                     topo(probe::TopoNode::Kind::Thread, "1", 1)};
    diagram.diagram.label = "Machine";
    diagram.diagram.children = {core};
    page.cards.push_back(diagram);

    probe::Card vulns = card("Vulnerabilities", probe::CardKind::Vulns);
    vulns.rows = {row("Meltdown", "Not affected"), row("Spectre v2", "Mitigation: Retpolines")};
    page.cards.push_back(vulns);

    page.cards.push_back(card("Nothing", probe::CardKind::Rows));  // empty: not shown

    probe::Card slots = card("Memory slots", probe::CardKind::Slots);
    probe::Slot filled;
    filled.number = 1;
    filled.mod.locator = "DIMM_A1";
    filled.mod.size_bytes = 16ull << 30;
    filled.mod.type = "DDR5";
    filled.mod.manufacturer = "Maker";
    probe::Slot empty;
    empty.number = 2;
    slots.slots = {filled, empty};
    slots.rows = {row("Slots", "2")};
    page.cards.push_back(slots);

    probe::Card usage = card("Storage", probe::CardKind::Usage);
    usage.usage = {{"/", 10ull << 30, 40ull << 30, ""}, {"/boot", 0, 0, ""}};
    usage.rows = {row("Read", "12 MB/s", "", "disk.rrate:0")};
    page.cards.push_back(usage);
    return page;
}

struct Calls {
    int elevate = 0;
    std::vector<int> selected;
};

void on_elevate(GtkButton*, gpointer data) { static_cast<Calls*>(data)->elevate++; }
void on_select(gpointer data, int value) { static_cast<Calls*>(data)->selected.push_back(value); }

class CardPage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
        theme::apply_language("en");
    }
    void TearDown() override {
        if (m_window) gtk_widget_destroy(m_window);
    }
    GtkWidget* show(GtkWidget* content, int w, int h) {
        m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(m_window), w, h);
        gtk_container_add(GTK_CONTAINER(m_window), content);
        gtk_widget_show_all(m_window);
        pump_for(300);
        return m_window;
    }
    GtkWidget* m_window = nullptr;
};

TEST_F(CardPage, EveryKindGetsItsWidgets) {
    probe::Page page = every_kind_page();
    ui::Context ctx;
    Calls calls;
    GtkWidget* root = ui::build_page(page, ctx, G_CALLBACK(on_elevate), &calls, on_select, &calls);
    ASSERT_TRUE(GTK_IS_SCROLLED_WINDOW(root));
    show(root, 1100, 900);

    EXPECT_EQ(with_class(root, "page").size(), 1u);
    EXPECT_TRUE(label_with_text(root, page.headline));
    EXPECT_TRUE(label_with_text(root, page.subline));
    EXPECT_EQ(with_class(root, "stat").size(), 2u);
    EXPECT_EQ(with_class(root, "card").size(), page.cards.size() - 1);  // the empty card is left out
    EXPECT_FALSE(label_with_text(root, "Nothing"));
    EXPECT_TRUE(label_with_text(root, "from CPUID"));

    // Drawn kinds get one drawing area each, as high as their drawing.
    auto areas = of_type(root, [](GtkWidget* w) { return GTK_IS_DRAWING_AREA(w); });
    EXPECT_EQ(areas.size(), 6u);
    for (GtkWidget* a : areas) {
        int h = -1;
        gtk_widget_get_size_request(a, nullptr, &h);
        EXPECT_GT(h, 0);
        EXPECT_EQ(gtk_widget_get_allocated_height(a), h);
    }

    // Slots: one filled tile with its size line, one empty tile.
    EXPECT_EQ(with_class(root, "slot").size(), 1u);
    EXPECT_EQ(with_class(root, "slot-empty").size(), 1u);
    EXPECT_TRUE(label_with_text(root, "16.0 GiB  DDR5"));
    EXPECT_TRUE(label_with_text(root, tr("value.slot_empty")));
    EXPECT_TRUE(label_with_text(root, "Maker"));

    // Number-like values take the fixed-width class.
    EXPECT_TRUE(has_class(label_with_text(root, "1234"), "row-value-num"));
    EXPECT_TRUE(has_class(label_with_text(root, "GenuineTest"), "row-value"));
    EXPECT_TRUE(has_class(label_with_text(root, "3.20 GHz"), "row-value"));

    // Tooltips: the note wins over a long value; without a note the long value shows.
    gchar* tip = gtk_widget_get_tooltip_text(label_with_text(root, "a rather long value of many bytes"));
    EXPECT_STREQ(tip, "/proc/cpuinfo");
    g_free(tip);
    tip = gtk_widget_get_tooltip_text(label_with_text(root, "another long value of many bytes"));
    EXPECT_STREQ(tip, "another long value of many bytes");
    g_free(tip);

    // Multi-column rows show at most five columns.
    EXPECT_TRUE(label_with_text(root, "5"));
    EXPECT_FALSE(label_with_text(root, "6"));
    // The sources column is off.
    EXPECT_FALSE(label_with_text(root, "dmi"));
    // A locked row keeps its extra column beside the unlock button.
    EXPECT_TRUE(label_with_text(root, "side"));
}

TEST_F(CardPage, LiveLabelsRegisteredOncePerLiveValue) {
    probe::Page page = every_kind_page();
    ui::Context ctx;
    GtkWidget* root = ui::build_page(page, ctx, nullptr, nullptr, nullptr, nullptr);
    show(root, 900, 700);

    ASSERT_EQ(ctx.live_stats.size(), 1u);
    EXPECT_EQ(ctx.live_stats[0].first, &page.stats[0]);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx.live_stats[0].second)), "3.20");

    // Clock, the three-column row (its last column) and the usage card's row;
    // the seven-column row's live column is not shown and not registered.
    ASSERT_EQ(ctx.live_rows.size(), 3u);
    const probe::Card& ident = page.cards[0];
    EXPECT_EQ(ctx.live_rows[0].first, &ident.rows[1]);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx.live_rows[0].second)), "3.20 GHz");
    EXPECT_EQ(ctx.live_rows[1].first, &ident.rows[7]);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ctx.live_rows[1].second)), "x8");
    EXPECT_EQ(ctx.live_rows[2].first, &page.cards.back().rows[0]);
    for (auto& [r, label] : ctx.live_rows) EXPECT_TRUE(GTK_IS_LABEL(label)) << r->name;

    // Without callbacks: no selector and no elevate button under the hint.
    EXPECT_TRUE(of_type(root, [](GtkWidget* w) { return GTK_IS_COMBO_BOX(w); }).empty());
    EXPECT_FALSE(label_with_text(root, tr("menu.elevate_short")));
}

// GTK would refuse (or cut at) bytes that are not UTF-8: every label,
// tooltip and chooser entry shows them as U+FFFD.
TEST_F(CardPage, TextThatIsNotUtf8ReachesTheWidgetsRepaired) {
    probe::Page page;
    page.headline = "Model \xff";
    page.stats.push_back({"Label \xc3", "1 \x80", "\xfe", ""});
    page.selector.label = "Sockets";
    page.selector.options = {"All", "Socket \xff"};
    page.selector.values = {-1, 0};
    probe::Card c = card("Card \xc3\x28", probe::CardKind::Rows);
    c.rows = {row("name \x80", "value \xff", "note \xfe"), row("cols", "")};
    c.rows[1].cols = {"a \xff", "b"};
    page.cards.push_back(c);
    ui::Context ctx;
    static Calls calls;  // outlives the test should a selection still be delivered
    GtkWidget* root = ui::build_page(page, ctx, nullptr, nullptr, on_select, &calls);
    show(root, 900, 700);
    for (const char* want : {"Model \uFFFD", "Label \uFFFD", "1 \uFFFD", "\uFFFD", "Card \uFFFD(",
                             "name \uFFFD", "value \uFFFD", "a \uFFFD"})
        EXPECT_TRUE(label_with_text(root, want)) << want;
    GtkWidget* value = label_with_text(root, "value \uFFFD");
    ASSERT_TRUE(value);
    gchar* tip = gtk_widget_get_tooltip_text(value);
    EXPECT_STREQ(tip, "note \uFFFD");
    g_free(tip);
    std::vector<GtkWidget*> combos = of_type(root, [](GtkWidget* w) { return GTK_IS_COMBO_BOX_TEXT(w); });
    ASSERT_EQ(combos.size(), 1u);
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combos[0]));
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &it, nullptr, 1));
    gchar* option = nullptr;
    gtk_tree_model_get(model, &it, 0, &option, -1);
    EXPECT_STREQ(option, "Socket \uFFFD");
    g_free(option);
}

TEST_F(CardPage, ButtonsAndSelectorCallTheShell) {
    probe::Page page = every_kind_page();
    ui::Context ctx;
    ctx.show_sources = true;
    Calls calls;
    GtkWidget* root = ui::build_page(page, ctx, G_CALLBACK(on_elevate), &calls, on_select, &calls);
    show(root, 900, 700);

    auto unlock = with_class(root, "link-button");
    ASSERT_EQ(unlock.size(), 1u);
    gchar* tip = gtk_widget_get_tooltip_text(unlock[0]);
    EXPECT_STREQ(tip, "dmi");  // the note replaces the click hint
    g_free(tip);
    gtk_button_clicked(GTK_BUTTON(unlock[0]));
    GtkWidget* elevate_label = label_with_text(root, tr("menu.elevate_short"));
    ASSERT_TRUE(elevate_label);
    gtk_button_clicked(GTK_BUTTON(gtk_widget_get_parent(elevate_label)));
    EXPECT_EQ(calls.elevate, 2);

    // The sources column shows each note.
    EXPECT_TRUE(label_with_text(root, "/proc/cpuinfo"));
    EXPECT_TRUE(label_with_text(root, "dmi"));

    auto combos = of_type(root, [](GtkWidget* w) { return GTK_IS_COMBO_BOX(w); });
    ASSERT_EQ(combos.size(), 1u);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combos[0])), 0);
    EXPECT_TRUE(calls.selected.empty());  // setting the first state calls nothing
    gtk_combo_box_set_active(GTK_COMBO_BOX(combos[0]), 2);
    pump_for(20);
    ASSERT_EQ(calls.selected, (std::vector<int>{1}));
    gtk_combo_box_set_active(GTK_COMBO_BOX(combos[0]), 0);  // the page's own entry
    pump_for(20);
    EXPECT_EQ(calls.selected.size(), 1u);
}

TEST_F(CardPage, WideCardsSplitTheColumnGroups) {
    probe::Page page = every_kind_page();
    ui::Context ctx;
    GtkWidget* root = ui::build_page(page, ctx, nullptr, nullptr, nullptr, nullptr);
    show(root, 1100, 800);
    GtkWidget* box = with_class(root, "page")[0];
    GList* kids = gtk_container_get_children(GTK_CONTAINER(box));
    std::vector<std::string> shape;
    for (GList* k = kids; k; k = k->next) {
        GtkWidget* w = GTK_WIDGET(k->data);
        if (has_class(w, "card"))
            shape.push_back("wide");
        else if (GTK_IS_BOX(w) &&
                 gtk_orientable_get_orientation(GTK_ORIENTABLE(w)) == GTK_ORIENTATION_HORIZONTAL &&
                 !with_class(w, "card").empty())
            shape.push_back("group");
    }
    g_list_free(kids);
    EXPECT_EQ(shape, (std::vector<std::string>{"group", "wide", "wide", "group"}));
}

// The column boxes of the first group on a page.
int first_group_columns(GtkWidget* root) {
    GtkWidget* box = with_class(root, "page")[0];
    GList* kids = gtk_container_get_children(GTK_CONTAINER(box));
    int n = -1;
    for (GList* k = kids; k && n < 0; k = k->next) {
        GtkWidget* w = GTK_WIDGET(k->data);
        if (GTK_IS_BOX(w) && !has_class(w, "card") && !with_class(w, "card").empty() &&
            gtk_orientable_get_orientation(GTK_ORIENTABLE(w)) == GTK_ORIENTATION_HORIZONTAL) {
            GList* cols = gtk_container_get_children(GTK_CONTAINER(w));
            n = static_cast<int>(g_list_length(cols));
            g_list_free(cols);
        }
    }
    g_list_free(kids);
    return n;
}

TEST_F(CardPage, ColumnsFollowTheWindowWidth) {
    probe::Page page;
    for (int i = 0; i < 6; ++i) {
        probe::Card c = card("Card " + std::to_string(i), probe::CardKind::Rows);
        for (int r = 0; r <= i; ++r) c.rows.push_back(row("Name", "Value " + std::to_string(r)));
        page.cards.push_back(c);
    }
    ui::Context ctx;
    GtkWidget* root = ui::build_page(page, ctx, nullptr, nullptr, nullptr, nullptr);
    GtkWidget* win = show(root, 1400, 700);
    int wide = first_group_columns(root);
    EXPECT_GE(wide, 3);
    // Every card is placed exactly once.
    EXPECT_EQ(with_class(root, "card").size(), 6u);

    gtk_window_resize(GTK_WINDOW(win), 420, 700);
    pump_for(400);
    EXPECT_EQ(first_group_columns(root), 1);
    EXPECT_EQ(with_class(root, "card").size(), 6u);

    gtk_window_resize(GTK_WINDOW(win), 1400, 700);
    pump_for(400);
    int back = first_group_columns(root);
    EXPECT_GE(back, 2);
    EXPECT_LE(back, wide);
}

}  // namespace

namespace {
// What the shell does on a selector change: the page is rebuilt, its combo
// box destroyed from inside the combo's own "changed" signal.
struct Rebuild {
    GtkWidget* root = nullptr;
    std::vector<int> selected;
};
void destroy_page(gpointer data, int value) {
    auto* r = static_cast<Rebuild*>(data);
    r->selected.push_back(value);
    if (r->root) gtk_widget_destroy(r->root);
    r->root = nullptr;
}
}  // namespace

// Picked with the mouse, the entry comes through the combo's popup menu,
// whose code still runs on the combo box after "changed" returns.
TEST_F(CardPage, SelectorPickedFromItsMenuSurvivesThePageRebuild) {
    probe::Page page = every_kind_page();
    ui::Context ctx;
    Rebuild rebuild;
    rebuild.root = ui::build_page(page, ctx, nullptr, nullptr, destroy_page, &rebuild);
    show(rebuild.root, 900, 700);
    auto combos = of_type(rebuild.root, [](GtkWidget* w) { return GTK_IS_COMBO_BOX(w); });
    ASSERT_EQ(combos.size(), 1u);
    GtkWidget* combo = combos[0];
    gtk_combo_box_popup(GTK_COMBO_BOX(combo));
    pump_for(50);
    GList* menus = gtk_menu_get_for_attach_widget(combo);
    ASSERT_TRUE(menus);
    GtkWidget* menu = GTK_WIDGET(menus->data);
    GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
    ASSERT_EQ(g_list_length(items), 3u);
    GtkWidget* third = GTK_WIDGET(g_list_nth_data(items, 2));
    g_list_free(items);
    bool combo_gone = false;
    g_object_weak_ref(
        G_OBJECT(combo), [](gpointer gone, GObject*) { *static_cast<bool*>(gone) = true; }, &combo_gone);
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(menu), third, TRUE);
    // The combo box outlives the menu's activation; the page goes afterwards.
    EXPECT_FALSE(combo_gone);
    EXPECT_TRUE(rebuild.selected.empty());
    pump_for(50);
    EXPECT_TRUE(combo_gone);
    EXPECT_EQ(rebuild.selected, (std::vector<int>{1}));
    EXPECT_EQ(rebuild.root, nullptr);
}
