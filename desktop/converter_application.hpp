// The application: one window, the actions that drive it (also reachable
// from outside over D-Bus as org.gtk.Actions, which is how the end-to-end
// tests choose and convert), and files given by "Open With".
#pragma once

#include <memory>
#include <string>

#include <gtkmm.h>

#include "desktop/converter_window.hpp"

namespace quorvantelmic {

class ConverterApplication : public Gtk::Application {
 public:
  static Glib::RefPtr<ConverterApplication> create(std::string helper);

 protected:
  explicit ConverterApplication(std::string helper);
  void on_startup() override;
  void on_activate() override;
  void on_open(const type_vec_files& files, const Glib::ustring& hint) override;

 private:
  ConverterWindow& window();
  void addActions();

  std::string helper_;
  std::unique_ptr<ConverterWindow> window_;
};

}  // namespace quorvantelmic
