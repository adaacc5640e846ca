// The one window: the files to convert with their state, the choices, and
// Convert / Cancel. Every helper runs off the main loop, in the facts reader's
// thread or the batch's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtkmm.h>

#include "desktop/batch.hpp"
#include "desktop/item_facts_reader.hpp"
#include "desktop/main_loop_queue.hpp"

namespace quorvantelmic {

enum class RowState { inspecting, waiting, converting, done, failed, cancelled };

class ConverterWindow : public Gtk::ApplicationWindow {
 public:
  ConverterWindow(const Glib::RefPtr<Gtk::Application>& application, std::string helper);
  ~ConverterWindow() override;

  // Files and folders given on the command line, by "Open With", dropped or chosen.
  void addPaths(const std::vector<std::string>& paths);

  void chooseFiles();
  void chooseFolder();
  void chooseDestination();
  void convert();
  void cancel();
  void clear();

  // The choices, also set through the application's actions.
  void setImageTarget(const std::string& target);
  void setPageTarget(const std::string& target);
  void setQuality(int percent);
  void setMaximumSize(std::int64_t pixels);
  void setStripMetadata(bool strip);
  // Empty: beside the originals.
  void setDestinationFolder(const std::string& folder);

  bool busy() const noexcept { return runner_.running(); }
  // The window as it is drawn now, as a PNG file.
  bool saveScreenshot(const std::string& path);

 private:
  struct Row;

  Gtk::Widget& makeEmptyPage();
  Gtk::Widget& makeOptions();
  void addFile(const std::string& path);
  static std::vector<std::string> convertibleFilesUnder(const std::string& folder);
  void inspected(std::size_t index, const InspectionFacts& facts);
  // `report`: write the state file for the tests now.
  void setState(Row& row, RowState state, const std::string& detail = {}, bool report = true);
  void refresh();
  void writeStateForTests() const;
  void batchFinished(bool stopped);

  MainLoopQueue mainLoop_;  // before the runner and facts reader, which post to it
  std::string helper_;
  BatchSettings settings_;
  std::vector<std::unique_ptr<Row>> rows_;  // never shrinks: rows are found by index
  std::chrono::steady_clock::time_point batchStarted_;

  Gtk::HeaderBar header_;
  Gtk::Button addFilesButton_;
  Gtk::Button addFolderButton_;
  Gtk::Button clearButton_;
  Gtk::Box content_ {Gtk::Orientation::VERTICAL};
  Gtk::Stack stack_;
  Gtk::ScrolledWindow scroller_;
  Gtk::ListBox list_;
  Gtk::DropDown imageTarget_;
  Gtk::DropDown pageTarget_;
  Gtk::SpinButton quality_;
  Gtk::SpinButton maximumSize_;
  Gtk::CheckButton stripMetadata_;
  Gtk::DropDown destination_;
  Gtk::Button destinationFolder_;
  Gtk::ActionBar actions_;
  Gtk::Label status_;
  Gtk::Button cancelButton_;
  Gtk::Button convertButton_;
  Glib::RefPtr<Gtk::FileChooserNative> chooser_;
  std::string chosenFolder_;
  bool syncing_ = false;  // the widgets are being set from code, not by the user

  BatchRunner runner_ {mainLoop_};
  std::unique_ptr<ItemFactsReader> factsReader_;
};

}  // namespace quorvantelmic
