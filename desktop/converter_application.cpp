#include "desktop/converter_application.hpp"

#include <unistd.h>

namespace quorvantelmic {

Glib::RefPtr<ConverterApplication> ConverterApplication::create(std::string helper) {
  return Glib::make_refptr_for_instance<ConverterApplication>(new ConverterApplication(std::move(helper)));
}

ConverterApplication::ConverterApplication(std::string helper)
    : Gtk::Application("org.quorvantelmic.Converter", Gio::Application::Flags::HANDLES_OPEN),
      helper_(std::move(helper)) {
  Glib::set_application_name("Converter");
}

ConverterWindow& ConverterApplication::window() {
  if (!window_) {
    window_ = std::make_unique<ConverterWindow>(Glib::wrap(gobj(), true), helper_);
    window_->signal_hide().connect([this] { remove_window(*window_); });
  }
  return *window_;
}

void ConverterApplication::on_startup() {
  Gtk::Application::on_startup();
  // Installed, the icon is in the hicolor theme; in the build tree it lies in
  // icons/ beside the program.
  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (const std::string icons =
          length > 0 ? Glib::build_filename(Glib::path_get_dirname(std::string(self, static_cast<std::size_t>(length))), "icons")
                     : std::string();
      !icons.empty() && Glib::file_test(icons, Glib::FileTest::IS_DIR)) {
    Gtk::IconTheme::get_for_display(Gdk::Display::get_default())->add_search_path(icons);
  }
  addActions();
}

void ConverterApplication::on_activate() { window().present(); }

void ConverterApplication::on_open(const type_vec_files& files, const Glib::ustring&) {
  std::vector<std::string> paths;
  for (const Glib::RefPtr<Gio::File>& file : files) {
    const std::string path = file->get_path();
    if (!path.empty()) paths.push_back(path);
  }
  ConverterWindow& shown = window();
  shown.present();
  shown.addPaths(paths);
}

void ConverterApplication::addActions() {
  add_action("add-files", [this] { window().chooseFiles(); });
  add_action("add-folder", [this] { window().chooseFolder(); });
  add_action("convert", [this] { window().convert(); });
  add_action("cancel", [this] { window().cancel(); });
  add_action("clear", [this] { window().clear(); });
  add_action("quit", [this] {
    if (window_) window_->hide();
    quit();
  });
  const auto text = Glib::VariantType("s");
  add_action_with_parameter("add", text, [this](const Glib::VariantBase& value) {
    window().addPaths({Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get()});
  });
  add_action_with_parameter("target", text, [this](const Glib::VariantBase& value) {
    window().setImageTarget(Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get());
  });
  add_action_with_parameter("pages", text, [this](const Glib::VariantBase& value) {
    window().setPageTarget(Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get());
  });
  add_action_with_parameter("destination", text, [this](const Glib::VariantBase& value) {
    window().setDestinationFolder(Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get());
  });
  add_action_with_parameter("quality", Glib::VariantType("i"), [this](const Glib::VariantBase& value) {
    window().setQuality(Glib::VariantBase::cast_dynamic<Glib::Variant<int>>(value).get());
  });
  add_action_with_parameter("maximum-size", Glib::VariantType("i"), [this](const Glib::VariantBase& value) {
    window().setMaximumSize(Glib::VariantBase::cast_dynamic<Glib::Variant<int>>(value).get());
  });
  add_action_with_parameter("strip-metadata", Glib::VariantType("b"), [this](const Glib::VariantBase& value) {
    window().setStripMetadata(Glib::VariantBase::cast_dynamic<Glib::Variant<bool>>(value).get());
  });
  // The window as drawn, into a PNG file: the pictures in the documentation.
  add_action_with_parameter("screenshot", text, [this](const Glib::VariantBase& value) {
    window().saveScreenshot(Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(value).get());
  });
  set_accel_for_action("app.add-files", "<Control>o");
  set_accel_for_action("app.add-folder", "<Control><Shift>o");
  set_accel_for_action("app.convert", "<Control>Return");
  set_accel_for_action("app.cancel", "Escape");
  set_accel_for_action("app.quit", "<Control>q");
}

}  // namespace quorvantelmic
