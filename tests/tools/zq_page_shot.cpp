// Shows a hand-made page with every card kind in a real window, in a chosen
// theme and language, and saves a screenshot of the window as PNG.
//
//   zq_page_shot OUT.png [light|dark] [LANGUAGE] [WIDTH] [HEIGHT] [sample|cpu|topo|gpu|board|net] [ROOT]
//
// "cpu", "topo", "gpu", "board" and "net" show this machine's own pages instead of the
// sample, or those of the fixture tree ROOT.
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cards.h"
#include "i18n.h"
#include "load.h"
#include "theme.h"
#include "util.h"

namespace {

probe::Row row(const char* key, const std::string& value, const std::string& live = "") {
    return probe::Row(tr(key), value, "", false, live, "");
}

probe::Card card(const char* key, probe::CardKind kind) {
    probe::Card c;
    c.title = tr(key);
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

probe::Page sample_page() {
    I18n& i18n = I18n::instance();
    probe::Page page;
    page.headline = "Example Processor 7 7840U w/ Graphics";
    page.subline = i18n.trf("summary.n_cores", 8) + "   ·   " + i18n.trf("summary.n_threads", 16);
    page.stats = {{tr("f.freq_current"), util::fmt_double(3.21, 2), "GHz", "stat.freq"},
                  {tr("tree.cores"), "8", "", ""},
                  {tr("f.cache_size"), "16", "MiB", ""}};
    page.selector = {tr("f.sockets"), {tr("value.all"), i18n.trf("tree.socket_n", 0)}, 0, {-1, 0}};

    probe::Card ident = card("sec.identification", probe::CardKind::Rows);
    ident.rows = {row("f.family", "25 (0x19)"), row("f.codename", "Phoenix"),
                  row("f.freq_current", util::fmt_khz(3210000), "cpu.freq"), row("f.bogomips", "6587.71")};
    probe::Row serial(tr("f.serial"), "", "", true, "", "");
    ident.rows.push_back(serial);
    ident.hint = tr("msg.click_to_unlock");
    ident.hint_elevates = true;
    page.cards.push_back(ident);

    probe::Card feats = card("sec.features", probe::CardKind::Chips);
    for (const char* f :
         {"SSE4.2", "AVX2", "AVX-512", "AES-NI", "SHA", "VAES", "BMI2", "FMA3", "RDRAND", "SMT"})
        feats.chips.push_back({f, ""});
    page.cards.push_back(feats);

    probe::Card caches = card("sec.cache", probe::CardKind::Caches);
    caches.caches = {{1, "L1d", "Data", 8 * 32768, std::vector<uint64_t>(8, 32768), "8", "64", ""},
                     {1, "L1i", "Instruction", 8 * 32768, std::vector<uint64_t>(8, 32768), "8", "64", ""},
                     {2, "L2", "Unified", 8u << 20, std::vector<uint64_t>(8, 1u << 20), "8", "64", ""},
                     {3, "L3", "Unified", 16u << 20, {16u << 20}, "16", "64", "CPUs 0-15"}};
    page.cards.push_back(caches);

    probe::Card cores = card("tree.cores", probe::CardKind::Cores);
    cores.wide = true;
    for (int i = 0; i < 16; ++i) {
        probe::Core c;
        c.index = i;
        c.package = 0;
        c.core_id = i % 8;
        c.first_thread = i < 8;
        c.online = i != 13;
        c.cur_khz = c.online ? 1400000 + 180000 * i : 0;
        cores.cores.push_back(c);
    }
    page.cards.push_back(cores);

    probe::Card diagram = card("sec.topology", probe::CardKind::Diagram);
    diagram.wide = true;
    diagram.diagram.label = tr("sec.machine");
    for (int s = 0; s < 2; ++s) {
        probe::TopoNode numa = topo(probe::TopoNode::Kind::Numa, "NUMA " + std::to_string(s));
        probe::TopoNode pkg = topo(probe::TopoNode::Kind::Package, i18n.trf("tree.socket_n", s));
        pkg.detail = "4 cores";
        probe::TopoNode l3 = topo(probe::TopoNode::Kind::Cache, "L3");
        l3.detail = "16 MiB";
        for (int c = 0; c < 4; ++c) {
            probe::TopoNode core = topo(probe::TopoNode::Kind::Core, "Core " + std::to_string(c));
            int cpu = s * 4 + c;
            core.children = {topo(probe::TopoNode::Kind::Thread, std::to_string(cpu), cpu),
                             topo(probe::TopoNode::Kind::Thread, std::to_string(cpu + 8), cpu + 8)};
            l3.children.push_back(core);
        }
        pkg.children = {l3};
        numa.children = {pkg};
        diagram.diagram.children.push_back(numa);
    }
    page.cards.push_back(diagram);

    probe::Card vulns = card("sec.vulnerabilities", probe::CardKind::Vulns);
    vulns.rows = {row("f.family", "Not affected"),
                  row("f.codename", "Mitigation: Retpolines; IBPB conditional"),
                  row("f.build", "Vulnerable: no microcode")};
    vulns.rows[0].name = "Meltdown";
    vulns.rows[1].name = "Spectre v2";
    vulns.rows[2].name = "MMIO stale data";
    page.cards.push_back(vulns);

    probe::Card mem = card("sec.modules", probe::CardKind::Slots);
    probe::Slot a;
    a.number = 1;
    a.mod.locator = "DIMM_A1";
    a.mod.size_bytes = 16ull << 30;
    a.mod.type = "DDR5";
    a.mod.configured_speed = "5600 MT/s";
    a.mod.manufacturer = "Example";
    probe::Slot b;
    b.number = 2;
    mem.slots = {a, b};
    page.cards.push_back(mem);

    probe::Card usage = card("sec.usage", probe::CardKind::Usage);
    usage.usage = {{"/", 120ull << 30, 480ull << 30, ""}, {"/home", 700ull << 30, 900ull << 30, ""}};
    page.cards.push_back(usage);
    return page;
}

// Loads that change from CPU to CPU, so the tiles and the diagram show the ramp.
void fake_loads(load::CpuLoad& load, const std::string& dir) {
    auto stat = [](bool second) {
        std::string s = "cpu  0 0 0 0 0 0 0 0 0 0\n";
        for (int i = 0; i < 16; ++i) {
            int busy = 100 + (second ? (i * 67) % 100 : 0);
            int idle = 100 + (second ? 100 - (i * 67) % 100 : 0);
            s += "cpu" + std::to_string(i) + " " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                 " 0 0 0 0 0 0\n";
        }
        return s;
    };
    g_mkdir_with_parents((dir + "/proc").c_str(), 0755);
    util::set_root_prefix(dir);
    g_file_set_contents((dir + "/proc/stat").c_str(), stat(false).c_str(), -1, nullptr);
    load.sample();
    g_file_set_contents((dir + "/proc/stat").c_str(), stat(true).c_str(), -1, nullptr);
    load.sample();
    util::set_root_prefix("");
}

GtkWidget* find_combo(GtkWidget* w) {
    if (GTK_IS_COMBO_BOX(w)) return w;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(w)) {
        GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* k = kids; k && !found; k = k->next) found = find_combo(GTK_WIDGET(k->data));
        g_list_free(kids);
    }
    return found;
}

void clear_selections(GtkWidget* w) {
    if (GTK_IS_LABEL(w) && gtk_label_get_selectable(GTK_LABEL(w)))
        gtk_label_select_region(GTK_LABEL(w), 0, 0);
    if (GTK_IS_CONTAINER(w)) {
        GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* k = kids; k; k = k->next) clear_selections(GTK_WIDGET(k->data));
        g_list_free(kids);
    }
}

void on_select(gpointer, int) {}
void on_elevate(GtkButton*, gpointer) {}

gboolean take_shot(gpointer data) {
    auto* args = static_cast<std::pair<GtkWidget*, std::string>*>(data);
    clear_selections(args->first);
    while (gtk_events_pending()) gtk_main_iteration();
    GdkWindow* win = gtk_widget_get_window(args->first);
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(win, 0, 0, gdk_window_get_width(win), gdk_window_get_height(win));
    bool ok = shot && gdk_pixbuf_save(shot, args->second.c_str(), "png", nullptr, nullptr);
    if (shot) g_object_unref(shot);
    if (!ok) std::fprintf(stderr, "could not save %s\n", args->second.c_str());
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: zq_page_shot OUT.png [light|dark] [LANGUAGE] [WIDTH] [HEIGHT] "
                     "[sample|cpu|topo|gpu|board|net] [ROOT]\n");
        return 2;
    }
    gtk_init(&argc, &argv);
    std::string out = argv[1];
    bool dark = argc > 2 && std::string(argv[2]) == "dark";
    theme::apply_language(argc > 3 ? argv[3] : "en");
    int width = argc > 4 ? std::atoi(argv[4]) : 1200;
    int height = argc > 5 ? std::atoi(argv[5]) : 1000;

    GtkCssProvider* css = nullptr;
    ui::Context ctx;
    ctx.palette = dark ? Palette::dark_() : Palette::light();
    theme::load_style(&css, ctx.palette);
    load::CpuLoad load;
    gchar* tmp = g_dir_make_tmp("zq-shot-XXXXXX", nullptr);
    fake_loads(load, tmp);
    ctx.cpu_load = &load;

    std::string which = argc > 6 ? argv[6] : "sample";
    if (argc > 7) util::set_root_prefix(argv[7]);
    probe::Page page = which == "cpu"     ? probe::collect_cpu(-1)
                       : which == "topo"  ? probe::collect_topology(-1)
                       : which == "gpu"   ? probe::collect_gpu(-1)
                       : which == "net"   ? probe::collect_net(-1)
                       : which == "board" ? probe::collect_board()
                                          : sample_page();
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);
    gtk_container_add(GTK_CONTAINER(window),
                      ui::build_page(page, ctx, G_CALLBACK(on_elevate), nullptr, on_select, nullptr));
    // In the window the tab bar holds the focus; here the first selectable
    // label, the headline, would take it and show all selected.
    if (GtkWidget* combo = find_combo(window)) gtk_widget_grab_focus(combo);
    gtk_widget_show_all(window);
    std::pair<GtkWidget*, std::string> args{window, out};
    g_timeout_add(1500, take_shot, &args);
    gtk_main();
    gtk_widget_destroy(window);
    std::string rm = std::string(tmp) + "/proc/stat";
    g_remove(rm.c_str());
    g_rmdir((std::string(tmp) + "/proc").c_str());
    g_rmdir(tmp);
    g_free(tmp);
    return 0;
}
