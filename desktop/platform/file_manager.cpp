#include "desktop/platform/file_manager.hpp"

#include <giomm/dbusconnection.h>
#include <giomm/dbusproxy.h>
#include <giomm/file.h>
#include <glibmm/spawn.h>
#include <glibmm/variant.h>

#include "desktop/batch.hpp"

namespace quorvantelmic {

namespace {

void openFolder(const std::string& path) {
  try {
    Glib::spawn_async("", std::vector<std::string> {"xdg-open", folderOf(path)}, Glib::SpawnFlags::SEARCH_PATH);
  } catch (const Glib::Error&) {
    // Nothing more to try: the file is where the row says it is.
  }
}

}  // namespace

void showInFileManager(const std::string& path) {
  const std::string uri = Gio::File::create_for_path(path)->get_uri();
  Gio::DBus::Connection::get(
      Gio::DBus::BusType::SESSION, [path, uri](const Glib::RefPtr<Gio::AsyncResult>& result) {
        try {
          const Glib::RefPtr<Gio::DBus::Connection> bus = Gio::DBus::Connection::get_finish(result);
          const auto parameters = Glib::VariantContainerBase::create_tuple(
              {Glib::Variant<std::vector<Glib::ustring>>::create({uri}), Glib::Variant<Glib::ustring>::create("")});
          bus->call("/org/freedesktop/FileManager1", "org.freedesktop.FileManager1", "ShowItems", parameters,
                    [bus, path](const Glib::RefPtr<Gio::AsyncResult>& called) {
                      try {
                        bus->call_finish(called);
                      } catch (const Glib::Error&) {
                        openFolder(path);
                      }
                    },
                    "org.freedesktop.FileManager1");
        } catch (const Glib::Error&) {
          openFolder(path);
        }
      });
}

}  // namespace quorvantelmic
