// The setup window built in a real X server: its widget tree in both languages, its fallbacks, and
// every way an installation run can end, driven through a fake worker.
#include "ui/setup_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/glib_ptr.h"
#include "embedded/setup_icon.h"
#include "gui_test_support.h"
#include "package_facts.h"

namespace velto {
namespace {

using namespace std::chrono_literals;
using testing::children_of;
using testing::FakeWorker;
using testing::pump_for;
using testing::pump_until;
using testing::test_application;

SharedCatalogue builtin(Language language) {
  return parse_catalogue(builtin_translation(language));
}

// A text of a built-in document, as the window shows it; translation_documents_test.cpp holds the
// words themselves.
std::string text(Language language, const char* key) {
  return builtin(language)->lookup_text(key).value();
}

SharedCatalogue catalogue_of(const char* identity) {
  return std::make_shared<const Catalogue>(nlohmann::json::parse(identity));
}

std::string label_text(GtkLabel* label) { return gtk_label_get_text(label); }

// What a screen reader is handed with the focused Install button besides its name.
std::string description(const SetupWindow& w) {
  const char* text = atk_object_get_description(gtk_widget_get_accessible(GTK_WIDGET(w.install)));
  return text != nullptr ? text : "(none)";
}

// The label Install shows (the button's own "label" property is the catalogue's text).
GtkLabel* shown_label(const SetupWindow& w) {
  return GTK_LABEL(gtk_bin_get_child(GTK_BIN(w.install)));
}

struct EventFree {
  void operator()(GdkEvent* event) const noexcept { gdk_event_free(event); }
};

// Delivers a key press to the window as the X server would.
void press_key(GtkWindow* window, guint keyval, GdkModifierType state = GdkModifierType{}) {
  const std::unique_ptr<GdkEvent, EventFree> event(gdk_event_new(GDK_KEY_PRESS));
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window))));
  event->key.time = GDK_CURRENT_TIME;
  event->key.keyval = keyval;
  event->key.state = state;
  gdk_event_set_device(
      event.get(), gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gtk_main_do_event(event.get());
}

class SetupWindowTest : public ::testing::Test {
 protected:
  // Builds a window and watches for its destruction.
  SetupWindow open(SharedCatalogue catalogue,
                   std::span<const unsigned char> icon = embedded::setup_icon()) {
    return open_with(std::move(catalogue), worker_.body(), icon);
  }

  SetupWindow open_with(SharedCatalogue catalogue, WorkerBody body,
                        std::span<const unsigned char> icon = embedded::setup_icon()) {
    const SetupWindow built = build_setup_window(
        test_application(), SetupWindowInputs{std::move(catalogue), icon, std::move(body)});
    window_ = make_ref(built.window);
    g_signal_connect(built.window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer closed) {
                       *static_cast<bool*>(closed) = true;
                     }),
                     &closed_);
    EXPECT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(built.window)); }));
    return built;
  }

  void TearDown() override {
    if (window_ && !closed_) {
      // Let any run finish so the window may close, then close it.
      while (auto sender = worker_.take_run(0ms)) sender->send(ProgressEvent::report("x"));
      pump_for(250ms);
      gtk_widget_destroy(GTK_WIDGET(window_.get()));
    }
    window_.reset();
    pump_for(20ms);
  }

  // Asks the window to close as a window manager's close button does.
  void request_close() {
    gtk_window_close(window_.get());
    pump_for(50ms);
  }

  static bool busy(const SetupWindow& w) {
    return !gtk_widget_get_sensitive(GTK_WIDGET(w.install)) && spinning(w);
  }
  static bool spinning(const SetupWindow& w) {
    gboolean active = FALSE;
    g_object_get(w.spinner, "active", &active, nullptr);
    return active != FALSE;
  }
  // Ready again after a run: button offered, spinner stopped.
  static bool offered_again(const SetupWindow& w) {
    return gtk_widget_get_sensitive(GTK_WIDGET(w.install)) && !spinning(w);
  }

  FakeWorker worker_;
  GObjectPtr<GtkWindow> window_;
  bool closed_ = false;
};

struct Packing {
  gboolean expand;
  gboolean fill;
  guint padding;
  GtkPackType pack_type;
  bool operator==(const Packing&) const = default;
};

Packing packing_of(GtkWidget* box, GtkWidget* child) {
  Packing packing{};
  gtk_box_query_child_packing(GTK_BOX(box), child, &packing.expand, &packing.fill, &packing.padding,
                              &packing.pack_type);
  return packing;
}

TEST_F(SetupWindowTest, EnglishWindowHasItsPropertiesRowsAndTexts) {
  const SetupWindow w = open(builtin(Language::kEnglish));

  EXPECT_TRUE(GTK_IS_APPLICATION_WINDOW(w.window));
  EXPECT_EQ(gtk_window_get_application(w.window), test_application());
  EXPECT_EQ(gtk_window_get_title(w.window), text(Language::kEnglish, "linuxSetupTitle"));
  gint default_width = 0;
  gint default_height = 0;
  gboolean resizable = TRUE;
  g_object_get(w.window, "default-width", &default_width, "default-height", &default_height,
               "resizable", &resizable, nullptr);
  EXPECT_EQ(default_width, 460);
  EXPECT_EQ(default_height, 270);
  EXPECT_FALSE(resizable);

  GdkPixbuf* window_icon = gtk_window_get_icon(w.window);
  ASSERT_NE(window_icon, nullptr);
  // The largest size an X window manager is handed at all (see setup_window.cpp).
  EXPECT_EQ(gdk_pixbuf_get_width(window_icon), 256);
  EXPECT_EQ(gdk_pixbuf_get_height(window_icon), 256);

  GtkWidget* box = gtk_bin_get_child(GTK_BIN(w.window));
  ASSERT_TRUE(GTK_IS_BOX(box));
  EXPECT_EQ(gtk_orientable_get_orientation(GTK_ORIENTABLE(box)), GTK_ORIENTATION_VERTICAL);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(box)), 14);
  EXPECT_EQ(gtk_widget_get_margin_start(box), 24);
  EXPECT_EQ(gtk_widget_get_margin_end(box), 24);
  EXPECT_EQ(gtk_widget_get_margin_top(box), 24);
  EXPECT_EQ(gtk_widget_get_margin_bottom(box), 24);

  const std::vector<GtkWidget*> expected = {GTK_WIDGET(w.icon),    GTK_WIDGET(w.version),
                                            GTK_WIDGET(w.consent), GTK_WIDGET(w.message),
                                            GTK_WIDGET(w.spinner), GTK_WIDGET(w.install)};
  EXPECT_EQ(children_of(box), expected);
  ASSERT_TRUE(GTK_IS_IMAGE(w.icon));
  ASSERT_TRUE(GTK_IS_LABEL(w.version) && GTK_IS_LABEL(w.consent) && GTK_IS_LABEL(w.message));
  ASSERT_TRUE(GTK_IS_SPINNER(w.spinner));
  ASSERT_TRUE(GTK_IS_BUTTON(w.install));

  const Packing fixed{FALSE, FALSE, 0, GTK_PACK_START};
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.icon)), fixed);
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.version)), fixed);
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.consent)), (Packing{TRUE, TRUE, 0, GTK_PACK_START}));
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.message)), fixed);
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.spinner)), fixed);
  EXPECT_EQ(packing_of(box, GTK_WIDGET(w.install)), (Packing{FALSE, FALSE, 0, GTK_PACK_END}));
  // The wrapping limits, in average characters. Of their other values only a consent limit above
  // 54 shows anywhere else, as a window wider than 460 pixels.
  EXPECT_EQ(gtk_label_get_max_width_chars(w.consent), 54);
  EXPECT_EQ(gtk_label_get_max_width_chars(w.message), 51);

  GdkPixbuf* image = gtk_image_get_pixbuf(w.icon);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(image), 48);
  EXPECT_EQ(gdk_pixbuf_get_height(image), 48);

  EXPECT_EQ(label_text(w.version), "Velto " + std::string(kPackageVersion));
  EXPECT_EQ(label_text(w.consent), text(Language::kEnglish, "linuxSetupConsent"));
  EXPECT_EQ(label_text(w.message), "");
  EXPECT_FALSE(spinning(w));
  const std::string install = text(Language::kEnglish, "linuxSetupInstall");
  EXPECT_EQ(gtk_button_get_label(w.install), install);
  EXPECT_TRUE(gtk_widget_get_sensitive(GTK_WIDGET(w.install)));

  // For the keyboard: Install has the focus, is the default, and Alt+I presses it.
  EXPECT_EQ(gtk_window_get_focus(w.window), GTK_WIDGET(w.install));
  EXPECT_TRUE(gtk_widget_has_default(GTK_WIDGET(w.install)));
  EXPECT_EQ(label_text(shown_label(w)), install);
  EXPECT_EQ(gtk_label_get_mnemonic_keyval(shown_label(w)), GDK_KEY_i);
  EXPECT_EQ(atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(w.install))), install);

  // Nothing forces the size: GTK gives the content its natural height, no blank block in it.
  gint width = 0;
  gint height = 0;
  gtk_window_get_size(w.window, &width, &height);
  EXPECT_EQ(width, 460);
  EXPECT_EQ(height, 301);
}

TEST_F(SetupWindowTest, TurkishWindowShowsTheTurkishTexts) {
  const SetupWindow w = open(builtin(Language::kTurkish));
  EXPECT_EQ(gtk_window_get_title(w.window), text(Language::kTurkish, "linuxSetupTitle"));
  const std::string install = text(Language::kTurkish, "linuxSetupInstall");
  EXPECT_EQ(gtk_button_get_label(w.install), install);
  EXPECT_EQ(label_text(shown_label(w)), install);
  EXPECT_EQ(gtk_label_get_mnemonic_keyval(shown_label(w)), GDK_KEY_k);
  EXPECT_EQ(atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(w.install))), install);
  EXPECT_EQ(label_text(w.consent), text(Language::kTurkish, "linuxSetupConsent"));
  EXPECT_EQ(label_text(w.version), "Velto " + std::string(kPackageVersion));
  EXPECT_NE(w.icon, nullptr);
}

TEST_F(SetupWindowTest, IconThatDoesNotDecodeLeavesOutIconAndImageRow) {
  const auto icon = embedded::setup_icon();
  // Signature and part of the header: the loader never gets as far as a pixbuf.
  const std::vector<unsigned char> header_only(icon.begin(), icon.begin() + 30);
  std::vector<unsigned char> not_png(icon.begin(), icon.end());
  not_png[1] = 'Q';
  // Damage inside the pixel data: the loader has made a pixbuf from the header but reports an
  // error, and the rows it never filled must not be shown.
  std::vector<unsigned char> damaged_pixels(icon.begin(), icon.end());
  for (std::size_t i = icon.size() / 2; i < icon.size() / 2 + 64; ++i) damaged_pixels[i] ^= 0xFF;
  const unsigned char words[] = "not an image";
  const std::vector<std::span<const unsigned char>> bad = {
      {}, std::span(words), std::span(header_only), std::span(not_png), std::span(damaged_pixels)};
  for (const auto bytes : bad) {
    SCOPED_TRACE(bytes.size());
    const SetupWindow w = open(builtin(Language::kEnglish), bytes);
    EXPECT_EQ(w.icon, nullptr);
    EXPECT_EQ(gtk_window_get_icon(w.window), nullptr);
    const std::vector<GtkWidget*> expected = {GTK_WIDGET(w.version), GTK_WIDGET(w.consent),
                                              GTK_WIDGET(w.message), GTK_WIDGET(w.spinner),
                                              GTK_WIDGET(w.install)};
    EXPECT_EQ(children_of(gtk_bin_get_child(GTK_BIN(w.window))), expected);
    EXPECT_EQ(label_text(w.version), "Velto " + std::string(kPackageVersion));
    EXPECT_EQ(gtk_button_get_label(w.install), text(Language::kEnglish, "linuxSetupInstall"));
    gtk_widget_destroy(GTK_WIDGET(w.window));
    pump_for(10ms);
  }
  closed_ = true;
}

TEST_F(SetupWindowTest, MissingOrNonStringTextsFallBack) {
  {
    const SetupWindow w = open(catalogue_of(
        R"({"linuxSetupTitle": 5, "linuxSetupConsent": {"text": "x"}, "linuxSetupInstall": null})"));
    EXPECT_STREQ(gtk_window_get_title(w.window), "Velto");
    EXPECT_EQ(label_text(w.consent), "");
    EXPECT_EQ(description(w), "");  // set all the same: ATK announces no first description
    EXPECT_STREQ(gtk_button_get_label(w.install), "");
    EXPECT_EQ(label_text(w.version), "Velto " + std::string(kPackageVersion));
    gtk_widget_destroy(GTK_WIDGET(w.window));
  }
  {
    // An empty string is a text like any other: the title is empty, not "Velto".
    const SetupWindow w = open(catalogue_of(R"({"linuxSetupTitle": ""})"));
    EXPECT_STREQ(gtk_window_get_title(w.window), "");
    gtk_widget_destroy(GTK_WIDGET(w.window));
  }
  {
    const SetupWindow w = open(catalogue_of("null"));
    EXPECT_STREQ(gtk_window_get_title(w.window), "Velto");
    EXPECT_STREQ(gtk_button_get_label(w.install), "");
  }
}

TEST_F(SetupWindowTest, InstallMakesTheWindowBusyAndClosingIsRefused) {
  const SetupWindow w = open(builtin(Language::kEnglish));
  gtk_button_clicked(w.install);
  // The busy state is there before the worker thread exists, with no main-loop turn in between.
  EXPECT_TRUE(busy(w));
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "updateInstalling"));
  EXPECT_EQ(description(w), text(Language::kEnglish, "updateInstalling"));

  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  request_close();
  EXPECT_FALSE(closed_);
  press_key(w.window, GDK_KEY_Escape);  // the same close, from the keyboard
  pump_for(50ms);
  EXPECT_FALSE(closed_);

  // Nothing sent and the worker still holds its end: ticks change nothing.
  pump_for(350ms);
  EXPECT_TRUE(busy(w));
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "updateInstalling"));
  request_close();
  EXPECT_FALSE(closed_);
}

TEST_F(SetupWindowTest, CompletedClosesTheWindowWithoutTouchingLabelOrButton) {
  const SetupWindow w = open(builtin(Language::kEnglish));
  // Kept alive past the window's destruction to be inspected.
  const auto message = make_ref(w.message);
  const auto install = make_ref(w.install);
  const auto spinner = make_ref(w.spinner);
  gtk_button_clicked(w.install);
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  ASSERT_TRUE(sender->send(ProgressEvent::completed()));
  sender.reset();

  ASSERT_TRUE(pump_until([&] { return closed_; }));
  gboolean spinner_active = TRUE;
  g_object_get(spinner.get(), "active", &spinner_active, nullptr);
  EXPECT_FALSE(spinner_active);
  EXPECT_EQ(label_text(message.get()), text(Language::kEnglish, "updateInstalling"));
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(install.get())));
}

TEST_F(SetupWindowTest, ReportShowsItsTextAndOffersInstallAgain) {
  const SetupWindow w = open(builtin(Language::kEnglish));
  gtk_button_clicked(w.install);
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  // The worker sends and releases its end at once: the event wins over the disconnection.
  ASSERT_TRUE(sender->send(ProgressEvent::report("linuxSetupPrepareBusy")));
  sender.reset();

  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "linuxSetupPrepareBusy"));
  EXPECT_EQ(description(w), text(Language::kEnglish, "linuxSetupPrepareBusy"));
  // GTK took the focus from the insensitive button; it is back, so Enter or Space retries.
  EXPECT_EQ(gtk_window_get_focus(w.window), GTK_WIDGET(w.install));
  EXPECT_FALSE(closed_);

  // With the run over, a close is no longer refused.
  request_close();
  EXPECT_TRUE(closed_);
}

TEST_F(SetupWindowTest, EscapeClosesTheIdleWindowAndOtherKeysDoNot) {
  {
    const SetupWindow w = open(builtin(Language::kEnglish));
    press_key(w.window, GDK_KEY_Escape, GDK_CONTROL_MASK);
    press_key(w.window, GDK_KEY_q);
    pump_for(50ms);
    EXPECT_FALSE(closed_);
    press_key(w.window, GDK_KEY_Escape);
    EXPECT_TRUE(pump_until([&] { return closed_; }));
  }
  {
    // After a report, as before the first run.
    closed_ = false;
    const SetupWindow w = open(builtin(Language::kEnglish));
    gtk_button_clicked(w.install);
    worker_.take_run().reset();
    ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
    press_key(w.window, GDK_KEY_Escape);
    EXPECT_TRUE(pump_until([&] { return closed_; }));
  }
}

TEST_F(SetupWindowTest, AltWithTheMarkedLetterOrEnterPressesInstall) {
  const SetupWindow w = open(builtin(Language::kTurkish));
  EXPECT_FALSE(gtk_window_mnemonic_activate(w.window, GDK_KEY_i, GDK_MOD1_MASK));
  EXPECT_TRUE(gtk_window_mnemonic_activate(w.window, GDK_KEY_k, GDK_MOD1_MASK));
  // Activated from the keyboard, a button shows itself pressed for a moment before it clicks.
  EXPECT_TRUE(pump_until([&] { return busy(w); }));
  worker_.take_run().reset();
  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));

  // Enter presses the default even where the focus is elsewhere.
  gtk_window_set_focus(w.window, nullptr);
  EXPECT_TRUE(gtk_window_activate_default(w.window));
  EXPECT_TRUE(pump_until([&] { return busy(w); }));
  // The worker thread records its run when it gets to it, which can be after the window is busy.
  EXPECT_TRUE(worker_.take_run()) << "Enter started no second run";
  EXPECT_EQ(worker_.runs_started(), 2);
}

TEST_F(SetupWindowTest, MnemonicMarksTheFirstLetterAndShowsTheTextAsWritten) {
  struct Case {
    const char* text;
    guint keyval;
  };
  const Case cases[] = {
      {"Install", GDK_KEY_i},        {"_a_b", GDK_KEY_a},      {"3 Çalıştır", GDK_KEY_ccedilla},
      {"2 > 1", GDK_KEY_VoidSymbol}, {"", GDK_KEY_VoidSymbol},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string identity = std::string(R"({"linuxSetupInstall": ")") + c.text + "\"}";
    const SetupWindow w = open(catalogue_of(identity.c_str()));
    const std::string text = c.text;
    // Shown, named and kept exactly as written; only the letter is marked.
    EXPECT_EQ(gtk_button_get_label(w.install), text);
    EXPECT_EQ(label_text(shown_label(w)), text);
    EXPECT_EQ(atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(w.install))), text);
    EXPECT_EQ(gtk_label_get_mnemonic_keyval(shown_label(w)), c.keyval);
    gtk_widget_destroy(GTK_WIDGET(w.window));
    pump_for(10ms);
  }
  closed_ = true;
}

TEST_F(SetupWindowTest, EveryTextKeepsTheWindowWidthInBothLanguages) {
  for (const Language language : {Language::kEnglish, Language::kTurkish}) {
    const SharedCatalogue catalogue = builtin(language);
    const SetupWindow w = open(catalogue);
    gint idle_width = 0;
    gtk_window_get_size(w.window, &idle_width, nullptr);
    EXPECT_EQ(idle_width, language == Language::kEnglish ? 460 : 469);  // Turkish consent is wider
    for (const char* key :
         {"updateInstalling", "linuxSetupFailed", "linuxSetupPrepareFailed",
          "linuxSetupPrepareLegacy", "linuxSetupPrepareBusy", "linuxSetupRestartFailed",
          "linuxSetupRestartLegacy", "linuxSetupRestartBusy"}) {
      SCOPED_TRACE(key);
      const std::optional<std::string> text = lookup_text(*catalogue, key);
      ASSERT_TRUE(text);
      gtk_label_set_text(w.message, text->c_str());
      pump_for(100ms);  // let the window take its new size
      gint width = 0;
      gtk_window_get_size(w.window, &width, nullptr);
      EXPECT_EQ(width, idle_width);  // the text takes lines, not width
    }
    gtk_widget_destroy(GTK_WIDGET(w.window));
    pump_for(10ms);
  }
  closed_ = true;
}

TEST_F(SetupWindowTest, WorkerEndingWithoutAReportShowsTheFailedText) {
  const SetupWindow w = open(builtin(Language::kTurkish));
  gtk_button_clicked(w.install);
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  sender.reset();

  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
  EXPECT_EQ(label_text(w.message), text(Language::kTurkish, "linuxSetupFailed"));
  EXPECT_EQ(description(w), label_text(w.message));
  EXPECT_EQ(gtk_window_get_focus(w.window), GTK_WIDGET(w.install));
  EXPECT_FALSE(closed_);
}

TEST_F(SetupWindowTest, ReportWhoseKeyHasNoTextEmptiesTheLabel) {
  const SetupWindow w = open(catalogue_of(R"({"updateInstalling": "Working", "number": 3})"));
  for (const char* key : {"linuxSetupRestartBusy", "number"}) {
    SCOPED_TRACE(key);
    gtk_button_clicked(w.install);
    EXPECT_EQ(label_text(w.message), "Working");
    auto sender = worker_.take_run();
    ASSERT_TRUE(sender);
    sender->send(ProgressEvent::report(key));
    ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
    EXPECT_EQ(label_text(w.message), "");
    EXPECT_EQ(description(w), "");
  }
}

TEST_F(SetupWindowTest, CatalogueWithoutTheInstallingTextLeavesTheLabelEmptyWhileRunning) {
  const SetupWindow w = open(catalogue_of(R"({"linuxSetupFailed": "Failed"})"));
  gtk_button_clicked(w.install);
  EXPECT_TRUE(busy(w));
  EXPECT_EQ(label_text(w.message), "");
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  sender.reset();
  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
  EXPECT_EQ(label_text(w.message), "Failed");
}

TEST_F(SetupWindowTest, InstallAfterAReportStartsACompleteNewRun) {
  const SetupWindow w = open(builtin(Language::kEnglish));
  gtk_button_clicked(w.install);
  auto first = worker_.take_run();
  ASSERT_TRUE(first);
  first->send(ProgressEvent::report("linuxSetupPrepareBusy"));
  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));

  gtk_button_clicked(w.install);
  EXPECT_TRUE(busy(w));
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "updateInstalling"));
  auto second = worker_.take_run();
  ASSERT_TRUE(second);
  EXPECT_EQ(worker_.runs_started(), 2);
  // The first run's channel is gone with its timer; the new run has a channel of its own.
  EXPECT_FALSE(first->send(ProgressEvent::completed()));
  pump_for(250ms);
  EXPECT_TRUE(busy(w));

  second->send(ProgressEvent::report("linuxSetupFailed"));
  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "linuxSetupFailed"));
}

TEST_F(SetupWindowTest, ClickedTwiceInARowStartsOneRun) {
  const SetupWindow w = open(builtin(Language::kEnglish));
  // Emitted directly: an insensitive button would stop a real pointer, but not the signal.
  g_signal_emit_by_name(w.install, "clicked");
  g_signal_emit_by_name(w.install, "clicked");
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  pump_for(300ms);
  EXPECT_EQ(worker_.runs_started(), 1);
  EXPECT_TRUE(busy(w));
}

TEST_F(SetupWindowTest, WorkerThatFinishesAtOnceIsShownOnTheFirstTick) {
  std::promise<void> sent;
  const SetupWindow w = open_with(builtin(Language::kEnglish), [&sent](ProgressSender sender) {
    sender.send(ProgressEvent::report("linuxSetupPrepareBusy"));
    sent.set_value();
  });
  const auto before_click = std::chrono::steady_clock::now();
  gtk_button_clicked(w.install);
  // A timer of the test's own with the window's 100 ms, started just after the window's: however
  // late a busy machine turns the main loop, the window's first tick runs before this one.
  struct Tick {
    const SetupWindow* window;
    std::optional<bool> shown;
  } own{&w, std::nullopt};
  g_timeout_add(
      100,
      +[](gpointer data) -> gboolean {
        auto* tick = static_cast<Tick*>(data);
        tick->shown = offered_again(*tick->window);
        return G_SOURCE_REMOVE;
      },
      &own);
  sent.get_future().wait();  // the main loop turns only once the event is there to be read
  // One turn at a time, each waiting for what is due, so that the time is read right after the
  // tick that showed the event; the test's own tick ends the wait in any case.
  while (!offered_again(w) && !own.shown) g_main_context_iteration(nullptr, TRUE);
  EXPECT_GE(std::chrono::steady_clock::now() - before_click, 100ms) << "shown before a tick";
  ASSERT_TRUE(pump_until([&] { return own.shown.has_value(); }));
  EXPECT_TRUE(*own.shown) << "shown on a later tick than the first";
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "linuxSetupPrepareBusy"));
}

TEST_F(SetupWindowTest, RunsReleaseTheirContextsAndTheWindowIsFreedAfterClosing) {
  const SharedCatalogue catalogue = builtin(Language::kEnglish);
  const SetupWindow w = open(catalogue);
  GtkWindow* window = w.window;
  g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&window));
  // Held by this test and by the Install handler.
  EXPECT_EQ(catalogue.use_count(), 2);

  gtk_button_clicked(w.install);
  auto sender = worker_.take_run();
  ASSERT_TRUE(sender);
  EXPECT_EQ(catalogue.use_count(), 3);  // and by the poll timer
  sender->send(ProgressEvent::report("linuxSetupPrepareBusy"));
  ASSERT_TRUE(pump_until([&] { return offered_again(w); }));
  EXPECT_EQ(catalogue.use_count(), 2);  // the timer's context is gone with the timer

  window_.reset();
  gtk_window_close(window);
  ASSERT_TRUE(pump_until([&] { return closed_; }));
  EXPECT_TRUE(pump_until([&] { return window == nullptr; }))
      << "a reference to the closed window was never released";
  EXPECT_EQ(catalogue.use_count(), 1);
}

TEST_F(SetupWindowTest, WorkerBodyThatThrowsEndsItsThreadAndTheRunAsFailed) {
  const SetupWindow w = open_with(builtin(Language::kEnglish), [](ProgressSender) {
    throw std::runtime_error("staging exploded");
  });
  ::testing::internal::CaptureStderr();
  gtk_button_clicked(w.install);
  const bool ended = pump_until([&] { return offered_again(w); });
  const std::string diagnostics = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended);
  EXPECT_EQ(label_text(w.message), text(Language::kEnglish, "linuxSetupFailed"));
  EXPECT_NE(diagnostics.find("staging exploded"), std::string::npos) << diagnostics;
}

}  // namespace
}  // namespace velto
