#include "dialogs.h"

#include <algorithm>
#include <cstdlib>

#include "app.h"
#include "i18n.h"
#include "licenses_data.h"
#include "probe.h"
#include "settings.h"
#include "theme.h"
#include "util.h"

namespace {

const char* const AUTHOR = "Idris Vantelow";
const char* const MAKER = "Pellwyne Software";
const char* const COPYRIGHT = "\u00a9 2026 Pellwyne Software";
const char* const WEB = "https://pellwyne.example";
const char* const MAIL = "hello@pellwyne.example";

// An empty variable counts as set here, as the packaging rules read them.
const char* env(const char* name) { return std::getenv(name); }

std::string escape(const std::string& text) {
    gchar* e = g_markup_escape_text(text.c_str(), -1);
    std::string out = e && *e ? e : text;
    g_free(e);
    return out;
}

std::string span(const char* attributes, const std::string& text) {
    return std::string("<span ") + attributes + ">" + escape(text) + "</span>";
}

GtkWidget* new_dialog(const char* title, GtkWindow* parent) {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    if (parent) gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    return dialog;
}

void add_class(GtkWidget* widget, const char* name) {
    gtk_style_context_add_class(gtk_widget_get_style_context(widget), name);
}

template <typename T>
void delete_record(gpointer data, GClosure*) {
    delete static_cast<T*>(data);
}

}  // namespace

GtkWidget* dialog_box(GtkWidget* dialog) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    gtk_widget_set_margin_start(box, 18);
    gtk_widget_set_margin_end(box, 18);
    gtk_widget_set_margin_top(box, 14);
    gtk_widget_set_margin_bottom(box, 10);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box);
    return box;
}

GtkWidget* section_label(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    add_class(label, "section-title");
    return label;
}

// ---- Rules ------------------------------------------------------------------

namespace dialogs {

std::string packaging_kind() {
    if (env("SNAP")) {
        std::string kind = "Snap";
        if (const char* version = env("SNAP_VERSION")) kind += std::string(" ") + version;
        if (const char* revision = env("SNAP_REVISION")) kind += std::string(" (rev ") + revision + ")";
        return kind;
    }
    if (env("FLATPAK_ID")) return "Flatpak";
    if (env("APPIMAGE") || env("APPDIR")) return "AppImage";
    std::string self = util::read_link_full("/proc/self/exe");
    if (self.empty() || util::starts_with(self, "/usr/")) return {};
    return "Entwicklungsstand";
}

std::string grant_command(const std::string& snap_name) {
    if (!probe::valid_snap_name(snap_name)) return {};
    return "sudo sh -c 'for i in hardware-observe system-observe network-observe; do snap connect " +
           snap_name + ":$i; done'";
}

std::string license_doc_dir() {
    for (const char* var : {"SNAP", "APPDIR"}) {
        const char* base = env(var);
        if (!base) continue;
        std::string dir = *base ? std::string(base) + "/usr/share/doc" : "/usr/share/doc";
        if (util::is_dir(dir)) return dir;
    }
    return util::is_dir("/usr/share/doc") ? "/usr/share/doc" : "";
}

std::string first_paragraph(const std::string& text) {
    size_t cut = text.find("\n\n");
    return cut == std::string::npos ? text : text.substr(0, cut);
}

std::string last_paragraph(const std::string& text) {
    size_t cut = text.rfind("\n\n");
    return cut == std::string::npos ? std::string() : text.substr(cut + 2);
}

}  // namespace dialogs

// ---- Settings dialog -----------------------------------------------------------

namespace {

struct Choice {
    const char* id;
    const char* key;
};
const Choice THEMES[] = {{"auto", "theme.auto"}, {"light", "theme.light"}, {"dark", "theme.dark"}};
const Choice START_VIEWS[] = {{"0", "tree.cpu"}, {"1", "sec.mainboard"}, {"2", "tree.memory"}};

GtkWidget* grid_label(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    return label;
}

std::string active_id(GtkComboBox* combo) {
    const gchar* id = gtk_combo_box_get_active_id(combo);
    return id ? id : "";
}

void on_language_changed(GtkComboBox* combo, gpointer data) {
    std::string code = active_id(combo);
    if (code.empty()) return;
    App* app = static_cast<App*>(data);
    SettingsStore::instance().mutable_get().language = code;
    SettingsStore::instance().save();
    app->apply_language(code);
    app->refresh();
    app->rebuild_menubar();
}

void on_theme_changed(GtkComboBox* combo, gpointer data) {
    std::string theme = active_id(combo);
    if (theme.empty()) return;
    App* app = static_cast<App*>(data);
    SettingsStore::instance().mutable_get().theme = theme;
    SettingsStore::instance().save();
    app->apply_theme();
    app->rebuild_menubar();
}

void on_start_view_changed(GtkComboBox* combo, gpointer) {
    std::string id = active_id(combo);
    if (id.empty()) return;
    SettingsStore::instance().mutable_get().start_tab = static_cast<int>(util::to_i64(id, 0));
    SettingsStore::instance().save();
}

void on_sources_toggled(GtkToggleButton* check, gpointer data) {
    bool active = gtk_toggle_button_get_active(check);
    Settings& s = SettingsStore::instance().mutable_get();
    if (active == s.show_sources) return;
    App* app = static_cast<App*>(data);
    s.show_sources = active;
    SettingsStore::instance().save();
    app->m_ctx.show_sources = active;
    app->rebuild_pages();
    app->rebuild_menubar();
}

GtkWidget* language_combo() {
    GtkWidget* combo = gtk_combo_box_text_new();
    gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(combo), "auto", tr("language.auto"));
    const std::string& stored = SettingsStore::instance().get().language;
    int active = 0, position = 1;
    for (const LanguageInfo& lang : I18n::available()) {
        gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(combo), lang.code.c_str(), lang.native_name.c_str());
        if (lang.code == stored) active = position;
        ++position;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), active);
    return combo;
}

GtkWidget* choice_combo(const Choice* choices, int count, int active) {
    GtkWidget* combo = gtk_combo_box_text_new();
    for (int i = 0; i < count; ++i)
        gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(combo), choices[i].id, tr(choices[i].key));
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), active);
    return combo;
}

void attach_row(GtkWidget* grid, int row, const char* label_key, GtkWidget* control) {
    gtk_grid_attach(GTK_GRID(grid), grid_label(tr(label_key)), 0, row, 1, 1);
    gtk_widget_set_hexpand(control, TRUE);
    gtk_grid_attach(GTK_GRID(grid), control, 1, row, 1, 1);
}

}  // namespace

void App::action_settings() {
    GtkWidget* dialog = new_dialog(tr("dialog.settings"), GTK_WINDOW(m_window));
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.close"), GTK_RESPONSE_CLOSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 440, -1);
    GtkWidget* box = dialog_box(dialog);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 10);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 14);
    gtk_box_pack_start(GTK_BOX(box), grid, FALSE, FALSE, 0);

    // Every control is set before its handler is connected: opening the
    // dialog changes nothing.
    const Settings& s = SettingsStore::instance().get();
    GtkWidget* language = language_combo();
    attach_row(grid, 0, "settings.language", language);

    int theme = 0;
    for (int i = 0; i < 3; ++i)
        if (s.theme == THEMES[i].id) theme = i;
    GtkWidget* themes = choice_combo(THEMES, 3, theme);
    attach_row(grid, 1, "settings.theme", themes);

    int start = s.start_tab >= 0 && s.start_tab <= 2 ? s.start_tab : -1;
    GtkWidget* start_view = choice_combo(START_VIEWS, 3, start);
    attach_row(grid, 2, "settings.start_view", start_view);

    GtkWidget* sources = gtk_check_button_new_with_mnemonic(tr("menu.show_sources"));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sources), s.show_sources);
    gtk_grid_attach(GTK_GRID(grid), sources, 0, 3, 2, 1);

    GtkWidget* colors = gtk_button_new_with_label(tr("settings.colors_button"));
    gtk_widget_set_halign(colors, GTK_ALIGN_START);
    gtk_grid_attach(GTK_GRID(grid), colors, 0, 4, 2, 1);

    GtkWidget* hint = gtk_label_new(tr("settings.hint"));
    gtk_widget_set_halign(hint, GTK_ALIGN_START);
    gtk_label_set_xalign(GTK_LABEL(hint), 0);
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(hint), 52);
    add_class(hint, "dim-text");
    gtk_box_pack_start(GTK_BOX(box), hint, FALSE, FALSE, 0);

    g_signal_connect(language, "changed", G_CALLBACK(on_language_changed), this);
    g_signal_connect(themes, "changed", G_CALLBACK(on_theme_changed), this);
    g_signal_connect(start_view, "changed", G_CALLBACK(on_start_view_changed), this);
    g_signal_connect(sources, "toggled", G_CALLBACK(on_sources_toggled), this);
    g_signal_connect_swapped(colors, "clicked", G_CALLBACK(+[](App* app) { app->action_colors(); }), this);

    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

// ---- Colours dialog --------------------------------------------------------------

namespace {

struct ColorRow {
    const char* label_key;
    std::string Settings::*member;
    std::string Palette::*role;  // shown while the setting is empty
};

const ColorRow LIGHT_ROWS[] = {
    {"color.background", &Settings::bg_light, &Palette::background},
    {"color.panel", &Settings::panel_light, &Palette::panel},
    {"color.text", &Settings::text_light, &Palette::text},
    {"color.accent", &Settings::accent_light, &Palette::accent},
    {"color.dim", &Settings::dim_light, &Palette::dim},
};
const ColorRow DARK_ROWS[] = {
    {"color.background", &Settings::bg_dark, &Palette::background},
    {"color.panel", &Settings::panel_dark, &Palette::panel},
    {"color.text", &Settings::text_dark, &Palette::text},
    {"color.accent", &Settings::accent_dark, &Palette::accent},
    {"color.dim", &Settings::dim_dark, &Palette::dim},
};
const ColorRow LOAD_ROWS[] = {
    {"color.load_low", &Settings::load_low, &Palette::load_low},
    {"color.load_mid", &Settings::load_mid, &Palette::load_mid},
    {"color.load_high", &Settings::load_high, &Palette::load_high},
};

struct ColorCtx {
    App* app;
    std::string Settings::*member;
};

void on_color_set(GtkWidget* button, gpointer data) {
    ColorCtx* ctx = static_cast<ColorCtx*>(data);
    GdkRGBA chosen;
    gtk_color_chooser_get_rgba(GTK_COLOR_CHOOSER(button), &chosen);
    SettingsStore::instance().mutable_get().*ctx->member =
        rgb_to_hex(Rgb{chosen.red, chosen.green, chosen.blue});
    SettingsStore::instance().save();
    ctx->app->apply_theme();
}

// The settings accept colours without "#", which GDK's parser refuses: read
// them as the palette does, so that the button shows the applied colour (the
// built-in one while the stored text is empty or not a colour).
GdkRGBA button_color(const std::string& stored, const std::string& built_in) {
    Rgb c;
    if (!hex_to_rgb(stored, c) && !hex_to_rgb(built_in, c)) return GdkRGBA{0, 0, 0, 0};
    return GdkRGBA{c.r, c.g, c.b, 1.0};
}

GtkWidget* color_grid(App* app, const ColorRow* rows, int count, const Palette& shown) {
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 8);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 14);
    const Settings& s = SettingsStore::instance().get();
    for (int i = 0; i < count; ++i) {
        gtk_grid_attach(GTK_GRID(grid), grid_label(tr(rows[i].label_key)), 0, i, 1, 1);
        GdkRGBA rgba = button_color(s.*rows[i].member, shown.*rows[i].role);
        GtkWidget* button = gtk_color_button_new_with_rgba(&rgba);
        gtk_widget_set_halign(button, GTK_ALIGN_START);
        add_class(button, "color-swatch");
        g_signal_connect_data(button, "color-set", G_CALLBACK(on_color_set),
                              new ColorCtx{app, rows[i].member}, delete_record<ColorCtx>, GConnectFlags(0));
        gtk_grid_attach(GTK_GRID(grid), button, 1, i, 1, 1);
    }
    return grid;
}

}  // namespace

void App::action_colors() {
    GtkWidget* dialog = new_dialog(tr("dialog.colors"), GTK_WINDOW(m_window));
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.reset"), GTK_RESPONSE_REJECT);
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.close"), GTK_RESPONSE_CLOSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 460, -1);
    GtkWidget* box = dialog_box(dialog);
    bool dark = m_dark;
    Palette shown = palette();
    gtk_box_pack_start(GTK_BOX(box), section_label(tr(dark ? "color.head_dark" : "color.head_light")), FALSE,
                       FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), color_grid(this, dark ? DARK_ROWS : LIGHT_ROWS, 5, shown), FALSE, FALSE,
                       0);
    gtk_box_pack_start(GTK_BOX(box), section_label(tr("color.head_load")), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), color_grid(this, LOAD_ROWS, 3, shown), FALSE, FALSE, 0);

    gtk_widget_show_all(dialog);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    if (response != GTK_RESPONSE_REJECT) return;
    SettingsStore::instance().mutable_get().reset_colors();
    SettingsStore::instance().save();
    apply_theme();
    action_colors();
}

// ---- Licences dialog -----------------------------------------------------------

namespace {

GtkWidget* paragraph(GtkWidget* box, const char* size, const std::string& text, bool dim) {
    GtkWidget* label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(label),
                         span((std::string("size=\"") + size + "\"").c_str(), text).c_str());
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_width_chars(GTK_LABEL(label), 52);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 72);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    if (dim) add_class(label, "dim-text");
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    return label;
}

GtkWidget* component_list() {
    GtkListStore* store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_STRING);
    for (const licenses_data::Component& c : licenses_data::COMPONENTS)
        gtk_list_store_insert_with_values(store, nullptr, -1, 0, c.name, 1, c.license, -1);
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_tree_view_set_enable_search(GTK_TREE_VIEW(view), FALSE);
    const char* heads[2] = {tr("col.component"), tr("col.license")};
    for (int i = 0; i < 2; ++i)
        gtk_tree_view_append_column(GTK_TREE_VIEW(view),
                                    gtk_tree_view_column_new_with_attributes(
                                        heads[i], gtk_cell_renderer_text_new(), "text", i, nullptr));
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scroll), 340);
    gtk_widget_set_vexpand(scroll, TRUE);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    return scroll;
}

}  // namespace

void App::action_licenses(GtkWindow* parent) {
    GtkWidget* dialog = new_dialog(tr("dialog.licenses"), parent);
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.close"), GTK_RESPONSE_CLOSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 620, 540);
    GtkWidget* box = dialog_box(dialog);
    paragraph(box, "small", tr("about.disclaimer"), true);
    paragraph(box, "medium", tr("licenses.intro"), false);
    gtk_box_pack_start(GTK_BOX(box), component_list(), TRUE, TRUE, 0);
    paragraph(box, "small", I18n::instance().trf("licenses.others", licenses_data::OTHER_COMPONENTS), true);
    std::string docs = dialogs::license_doc_dir();
    paragraph(box, "small",
              docs.empty() ? std::string(tr("licenses.texts_online"))
                           : I18n::instance().trf("licenses.texts_at", docs.c_str()),
              true);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

// ---- Permission notice ---------------------------------------------------------

namespace {

struct Grant {
    const char* iface;
    std::vector<const char*> areas;  // translation keys
};

const Grant GRANTS[] = {
    {"hardware-observe", {"sec.mainboard", "tree.sensors", "tree.storage", "tree.usb", "sec.modules"}},
    {"system-observe", {"sec.distribution"}},
    {"network-observe", {"tree.network"}},
};

GtkWidget* notice_paragraph(GtkWidget* box, const std::string& text, const char* css_class) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 74);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    if (css_class) add_class(label, css_class);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    return label;
}

GtkWidget* grant_table(const std::vector<std::string>& missing) {
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 16);
    gtk_widget_set_margin_top(grid, 4);
    gtk_widget_set_margin_bottom(grid, 4);
    int row = 0;
    for (const Grant& g : GRANTS) {
        bool lacking = std::find(missing.begin(), missing.end(), g.iface) != missing.end();
        GtkWidget* name = gtk_label_new(nullptr);
        gtk_label_set_markup(GTK_LABEL(name), (std::string("<tt>") + g.iface + "</tt>").c_str());
        gtk_widget_set_halign(name, GTK_ALIGN_START);
        std::vector<std::string> areas;
        for (const char* key : g.areas) areas.emplace_back(tr(key));
        GtkWidget* what = gtk_label_new(util::join(areas, ", ").c_str());
        gtk_widget_set_halign(what, GTK_ALIGN_START);
        gtk_label_set_line_wrap(GTK_LABEL(what), TRUE);
        gtk_label_set_max_width_chars(GTK_LABEL(what), 46);
        add_class(what, lacking ? "row-value" : "dim-text");
        GtkWidget* mark = gtk_label_new(lacking ? "\u2717" : "\u2713");
        gtk_widget_set_halign(mark, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), name, 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), what, 1, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), mark, 2, row, 1, 1);
        ++row;
    }
    return grid;
}

void copy_command(GtkEntry* entry, const std::string& command) {
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), command.c_str(), -1);
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_PRIMARY), command.c_str(), -1);
    gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    gtk_entry_set_icon_from_icon_name(entry, GTK_ENTRY_ICON_SECONDARY, "object-select-symbolic");
}

void on_copy_icon(GtkEntry* entry, GtkEntryIconPosition, GdkEvent*, gpointer command) {
    copy_command(entry, *static_cast<std::string*>(command));
}

gboolean on_entry_press(GtkWidget* entry, GdkEventButton*, gpointer command) {
    gtk_widget_grab_focus(entry);
    copy_command(GTK_ENTRY(entry), *static_cast<std::string*>(command));
    return TRUE;
}

GtkWidget* command_entry(const std::string& command) {
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), command.c_str());
    gtk_editable_set_editable(GTK_EDITABLE(entry), FALSE);
    gtk_widget_set_can_focus(entry, TRUE);
    add_class(entry, "row-value-num");
    gtk_entry_set_icon_from_icon_name(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, "edit-copy-symbolic");
    gtk_entry_set_icon_tooltip_text(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, tr("dialog.copy"));
    gtk_entry_set_icon_activatable(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, TRUE);
    auto* copy = new std::string(command);
    g_signal_connect(entry, "icon-press", G_CALLBACK(on_copy_icon), copy);
    g_signal_connect_data(entry, "button-press-event", G_CALLBACK(on_entry_press), copy,
                          delete_record<std::string>, GConnectFlags(0));
    return entry;
}

}  // namespace

void App::show_permission_notice(bool only_if_missing) {
    const char* snap = std::getenv("SNAP_NAME");
    if (!snap || !*snap) return;
    std::vector<std::string> missing = probe::missing_snap_permissions();
    if (only_if_missing && missing.empty()) return;
    std::string command = dialogs::grant_command(snap);

    GtkWidget* dialog = new_dialog(tr("dialog.permissions"), GTK_WINDOW(m_window));
    if (!command.empty()) gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.copy"), GTK_RESPONSE_APPLY);
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.skip"), GTK_RESPONSE_CLOSE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 640, -1);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    gtk_widget_set_margin_start(box, 20);
    gtk_widget_set_margin_end(box, 20);
    gtk_widget_set_margin_top(box, 14);
    gtk_widget_set_margin_bottom(box, 10);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box);

    const std::string intro = tr("msg.permissions_intro");
    notice_paragraph(box, dialogs::first_paragraph(intro), nullptr);
    notice_paragraph(box, tr("msg.permissions_what"), nullptr);
    gtk_box_pack_start(GTK_BOX(box), grant_table(missing), FALSE, FALSE, 0);
    GtkWidget* entry = nullptr;
    // A name outside the snap alphabet never reaches a command to paste.
    if (!command.empty()) {
        std::string last = dialogs::last_paragraph(intro);
        if (!last.empty()) notice_paragraph(box, last, nullptr);
        entry = command_entry(command);
        gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 4);
        notice_paragraph(box, tr("msg.permissions_after"), "dim-text");
    }
    notice_paragraph(box, tr("msg.permissions_skip"), "dim-text");

    gtk_widget_show_all(dialog);
    while (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_APPLY && entry) {
        copy_command(GTK_ENTRY(entry), command);
        set_status(tr("dialog.copy"));
    }
    gtk_widget_destroy(dialog);
}

// ---- About dialog -----------------------------------------------------------------

namespace {

void line(GtkWidget* box, const std::string& markup, bool dim) {
    GtkWidget* label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(label), markup.c_str());
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    if (dim) add_class(label, "dim-text");
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
}

void rule(GtkWidget* box, int top) {
    GtkWidget* sep = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_widget_set_margin_top(sep, top);
    gtk_widget_set_margin_bottom(sep, 8);
    gtk_box_pack_start(GTK_BOX(box), sep, FALSE, FALSE, 0);
}

void on_about_licenses(GtkWidget* button, gpointer app) {
    static_cast<App*>(app)->action_licenses(GTK_WINDOW(gtk_widget_get_toplevel(button)));
}

}  // namespace

void App::action_about() {
    GtkWidget* dialog = new_dialog(util::strip_mnemonic(tr("menu.about")).c_str(), GTK_WINDOW(m_window));
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.close"), GTK_RESPONSE_CLOSE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 3);
    gtk_widget_set_margin_start(box, 26);
    gtk_widget_set_margin_end(box, 26);
    gtk_widget_set_margin_top(box, 18);
    gtk_widget_set_margin_bottom(box, 10);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box);

    if (GdkPixbuf* icon = app_icon(128)) {
        GtkWidget* image = gtk_image_new_from_pixbuf(icon);
        g_object_unref(icon);
        gtk_widget_set_margin_bottom(image, 8);
        gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
    }
    line(box, std::string("<span size=\"x-large\" weight=\"bold\">") + PROGRAM + "</span>", false);
    line(box,
         span("size=\"small\"",
              std::string(tr("f.version")) + " " + VERSION + "  \u00b7  " + tr("f.build") + " " + BUILD),
         true);
    std::string kind = dialogs::packaging_kind();
    if (!kind.empty()) line(box, span("size=\"small\"", kind), true);
    rule(box, 10);
    line(box, span("size=\"small\"", tr("about.comment")), true);
    rule(box, 10);
    line(box, escape(AUTHOR), false);
    line(box, span("size=\"small\"", MAKER), true);
    line(box, span("size=\"small\"", COPYRIGHT), true);
    line(box, std::string("<a href=\"") + WEB + "\">" + WEB + "</a>", false);
    line(box, std::string("<a href=\"mailto:") + MAIL + "\"><span size=\"small\">" + MAIL + "</span></a>",
         false);
    rule(box, 12);
    line(box, span("size=\"small\" weight=\"bold\"", tr("about.disclaimer_title")), true);

    GtkWidget* disclaimer = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(disclaimer), span("size=\"x-small\"", tr("about.disclaimer")).c_str());
    gtk_label_set_line_wrap(GTK_LABEL(disclaimer), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(disclaimer), 52);
    gtk_label_set_justify(GTK_LABEL(disclaimer), GTK_JUSTIFY_CENTER);
    add_class(disclaimer, "dim-text");
    gtk_box_pack_start(GTK_BOX(box), disclaimer, FALSE, FALSE, 0);

    GtkWidget* licenses = gtk_button_new_with_label(tr("dialog.licenses"));
    gtk_widget_set_margin_top(licenses, 14);
    g_signal_connect(licenses, "clicked", G_CALLBACK(on_about_licenses), this);
    gtk_box_pack_start(GTK_BOX(box), licenses, FALSE, FALSE, 0);

    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
