#include "ui/setup_window.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/glib_ptr.h"
#include "package_facts.h"
#include "ui/callback_guard.h"
#include "ui/progress_display.h"

namespace velto {
namespace {

constexpr gint kDefaultWidth = 460;
constexpr gint kDefaultHeight = 270;
constexpr gint kSpacing = 14;
constexpr gint kMargin = 24;
constexpr gint kIconSize = 48;
// The window icon reaches an X window manager as one _NET_WM_ICON property, which GDK keeps under
// 262,144 32-bit words: the carried 512 x 512 icon (262,146 words) is dropped without a word, and
// the window would have none. Sizes up to 511 x 511 would fit; 256 x 256 is the largest of the
// icon theme sizes below 512 (hicolor has 192, 256 and 512), an exact half of the carried image,
// and keeps the property at 65,538 words (256 KiB) instead of 261,123 (1 MiB) for 511, for every
// window manager, task bar or switcher that reads it.
constexpr gint kWindowIconSize = 256;
// The consent text wraps at 54 average characters, the message at 51. A wrapping label asks for
// its whole text on one line, up to its limit, and a window that cannot be resized grows to that:
// 51 characters of GTK's 10-point font are 408 pixels, within the 412 a 460-pixel window leaves
// and within the consent text's width, so a long report takes more lines, never more width.
constexpr gint kConsentChars = 54;
constexpr gint kMessageChars = 51;

// The icon as a pixbuf, or nothing when the bytes do not decode. A loader that reports an error
// may still hold a pixbuf from the image's header whose rows were never filled, so any error
// counts as not decoding.
GObjectPtr<GdkPixbuf> decode_icon(std::span<const unsigned char> png) {
  if (png.empty()) return nullptr;  // the loader refuses a null buffer outright
  const auto loader = take_ref(gdk_pixbuf_loader_new());
  GErrorPtr write_error;
  GErrorPtr close_error;
  const bool written =
      gdk_pixbuf_loader_write(loader.get(), png.data(), png.size(), ErrorOut{write_error}) != FALSE;
  // Closed even after a failed write: a loader must never be finalised open.
  const bool closed = gdk_pixbuf_loader_close(loader.get(), ErrorOut{close_error}) != FALSE;
  if (!written || !closed) return nullptr;
  return make_ref(gdk_pixbuf_loader_get_pixbuf(loader.get()));
}

// The label text with its first letter marked as the mnemonic (Alt and that letter) and its own
// underscores doubled, so that it shows exactly as written.
std::string mnemonic_form(const std::string& text) {
  std::string marked;
  bool has_mnemonic = false;
  const char* const end = text.c_str() + std::strlen(text.c_str());
  for (const char* at = text.c_str(); at < end;) {
    // Bounded by the end, should a text not be valid UTF-8.
    const char* next = std::min<const char*>(g_utf8_next_char(at), end);
    const gunichar character = g_utf8_get_char(at);
    if (!has_mnemonic && g_unichar_isalpha(character)) {
      marked += '_';
      has_mnemonic = true;
    }
    if (character == '_') marked += '_';
    marked.append(at, next);
    at = next;
  }
  return marked;
}

// Gives the button's shown label a mnemonic. The button's own "label" stays the catalogue's text,
// and its accessible name, read from the shown text, with it.
void add_mnemonic(GtkButton* button, const std::string& text) {
  GtkWidget* shown = gtk_bin_get_child(GTK_BIN(button));
  if (GTK_IS_LABEL(shown)) {
    gtk_label_set_text_with_mnemonic(GTK_LABEL(shown), mnemonic_form(text).c_str());
  }
}

void set_wrapping(GtkLabel* label, gint max_chars) {
  gtk_label_set_line_wrap(label, TRUE);
  gtk_label_set_max_width_chars(label, max_chars);
}

gboolean on_key_press(GtkWidget* window, GdkEventKey* event, gpointer) noexcept {
  if (event->keyval != GDK_KEY_Escape ||
      (event->state & gtk_accelerator_get_default_mod_mask()) != 0) {
    return FALSE;
  }
  // The window manager's close takes this same way, through "delete-event", which refuses it
  // while a run is in progress.
  gtk_window_close(GTK_WINDOW(window));
  return TRUE;
}

gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer data) noexcept {
  // While a run is in progress the close is refused; otherwise GTK destroys the window.
  return **static_cast<const RunningFlag*>(data) ? TRUE : FALSE;
}

void free_running_flag(gpointer data, GClosure*) noexcept {
  delete static_cast<RunningFlag*>(data);
}

void on_activate(GtkApplication* application, gpointer data) noexcept {
  guard_callback("activate", [&] {
    build_setup_window(application, *static_cast<const SetupWindowInputs*>(data));
  });
}

void free_inputs(gpointer data, GClosure*) noexcept {
  delete static_cast<SetupWindowInputs*>(data);
}

GtkLabel* pack_label(GtkBox* box, const char* text, gboolean expand) {
  GtkWidget* label = gtk_label_new(text);
  gtk_box_pack_start(box, label, expand, expand, 0);
  return GTK_LABEL(label);
}

}  // namespace

SetupWindow build_setup_window(GtkApplication* application, const SetupWindowInputs& inputs) {
  const Catalogue& catalogue = *inputs.catalogue;
  SetupWindow built{};

  const std::string title = lookup_text(catalogue, "linuxSetupTitle").value_or("Velto");
  // GTK keeps the new toplevel in its own list; the application holds it while it exists.
  built.window = GTK_WINDOW(g_object_new(GTK_TYPE_APPLICATION_WINDOW,       //
                                         "application", application,        //
                                         "title", title.c_str(),            //
                                         "default-width", kDefaultWidth,    //
                                         "default-height", kDefaultHeight,  //
                                         "resizable", FALSE,                //
                                         nullptr));

  GtkWidget* box_widget = gtk_box_new(GTK_ORIENTATION_VERTICAL, kSpacing);
  gtk_widget_set_margin_start(box_widget, kMargin);
  gtk_widget_set_margin_end(box_widget, kMargin);
  gtk_widget_set_margin_top(box_widget, kMargin);
  gtk_widget_set_margin_bottom(box_widget, kMargin);
  GtkBox* box = GTK_BOX(box_widget);

  if (const GObjectPtr<GdkPixbuf> icon = decode_icon(inputs.icon_png)) {
    const auto window_icon = take_ref(
        gdk_pixbuf_scale_simple(icon.get(), kWindowIconSize, kWindowIconSize, GDK_INTERP_BILINEAR));
    gtk_window_set_icon(built.window, window_icon.get());
    const auto scaled =
        take_ref(gdk_pixbuf_scale_simple(icon.get(), kIconSize, kIconSize, GDK_INTERP_BILINEAR));
    GtkWidget* image = gtk_image_new_from_pixbuf(scaled.get());
    gtk_box_pack_start(box, image, FALSE, FALSE, 0);
    built.icon = GTK_IMAGE(image);
  }

  const std::string version = "Velto " + std::string(kPackageVersion);
  built.version = pack_label(box, version.c_str(), FALSE);

  const std::optional<std::string> consent = lookup_text(catalogue, "linuxSetupConsent");
  built.consent = pack_label(box, consent ? consent->c_str() : nullptr, TRUE);
  set_wrapping(built.consent, kConsentChars);

  built.message = GTK_LABEL(gtk_label_new(nullptr));
  set_wrapping(built.message, kMessageChars);
  gtk_box_pack_start(box, GTK_WIDGET(built.message), FALSE, FALSE, 0);

  built.spinner = GTK_SPINNER(gtk_spinner_new());
  gtk_box_pack_start(box, GTK_WIDGET(built.spinner), FALSE, FALSE, 0);

  const std::string install = lookup_text(catalogue, "linuxSetupInstall").value_or(std::string());
  built.install = GTK_BUTTON(gtk_button_new_with_label(install.c_str()));
  GtkWidget* install_widget = GTK_WIDGET(built.install);
  add_mnemonic(built.install, install);
  gtk_widget_set_can_default(install_widget, TRUE);
  // A screen reader says the consent text, what Install will do, with the button when it gets the
  // focus. ATK announces no change of an object's first description, so it is set before any
  // message, and empty when there is no consent text: the busy text is then a change, and spoken.
  describe_install(built.install, consent.value_or(std::string()).c_str());
  gtk_box_pack_end(box, install_widget, FALSE, FALSE, 0);

  const auto running = std::make_shared<bool>(false);
  g_signal_connect_data(built.window, "delete-event", G_CALLBACK(on_delete_event),
                        new RunningFlag(running), free_running_flag, GConnectFlags{});
  g_signal_connect(built.window, "key-press-event", G_CALLBACK(on_key_press), nullptr);
  connect_install_trigger(built.install, std::make_unique<ClickContext>(ClickContext{
                                             running,
                                             make_ref(built.spinner),
                                             make_ref(built.message),
                                             inputs.catalogue,
                                             make_ref(built.window),
                                             inputs.worker_body,
                                         }));

  gtk_container_add(GTK_CONTAINER(built.window), box_widget);
  // Enter anywhere in the window, and Space or Enter from the first moment, press Install.
  gtk_widget_grab_default(install_widget);
  gtk_widget_grab_focus(install_widget);
  gtk_widget_show_all(GTK_WIDGET(built.window));
  return built;
}

void connect_setup_window(GtkApplication* application, SetupWindowInputs inputs) {
  g_signal_connect_data(application, "activate", G_CALLBACK(on_activate),
                        new SetupWindowInputs(std::move(inputs)), free_inputs, GConnectFlags{});
}

}  // namespace velto
