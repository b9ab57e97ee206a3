// The real window as the program starts it, for the window tests: under a
// settings directory of the test's own and with nothing kept from an earlier
// test (settings, the collector's data, sensor readings); closed with it.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app.h"
#include "fixture.h"

namespace zqtest {

// Runs the events that are waiting; pump_for goes on doing so for `ms`.
void pump();
void pump_for(int ms);
// `fn` for `root` and every widget inside it, depth first.
void each_widget(GtkWidget* root, const std::function<void(GtkWidget*)>& fn);
// Some label inside `root` reads exactly `text`.
bool shows_text(GtkWidget* root, const std::string& text);
// A label's text; "" for any other widget.
std::string label_text(GtkWidget* widget);
// The index of the tab named `name` ("disk"); -1 when there is none.
int tab_index(const App& app, const std::string& name);
// Starts a window into `app` and runs its first events. The tests tick by
// hand: unless `own_tick`, the window's own one-second tick is stopped before
// it can fire, since one that came between a test's writes and its tick would
// take the counter samples and the readings of that half second.
App& open_window(std::unique_ptr<App>& app, bool own_tick = false);
// Stops its timer and destroys it; nothing when there is none.
void close_window(std::unique_ptr<App>& app);

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the window and runs its first events.
    App& start();

    TempDir config_;
    std::optional<std::string> saved_xdg_;
    std::unique_ptr<App> app_;
};

}  // namespace zqtest
