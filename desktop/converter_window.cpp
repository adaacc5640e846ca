#include "desktop/converter_window.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtk/gtk.h>
#include <nlohmann/json.hpp>

#include "client/base_name.hpp"
#include "client/conversion_engine.hpp"
#include "desktop/platform/file_manager.hpp"

namespace quorvantelmic {

namespace {

const std::vector<std::string> imageTargets = {"jpeg", "png", "tiff", "avif", "gif", "bmp", "pdf"};
const std::vector<Glib::ustring> imageTargetNames = {"JPEG", "PNG", "TIFF", "AVIF", "GIF", "BMP", "One PDF from these images"};
const std::vector<std::string> pageTargets = {"png", "jpeg"};
const std::vector<Glib::ustring> pageTargetNames = {"PNG images", "JPEG images"};

// The name screen readers announce for a control whose visible label does not say it.
void nameForScreenReaders(Gtk::Widget& widget, const Glib::ustring& name) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
}

void describeForScreenReaders(Gtk::Widget& widget, const Glib::ustring& description) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 description.c_str(), -1);
}

std::string leafOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool isPDFName(const std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == "pdf";
}

std::string stateWord(RowState state) {
  switch (state) {
    case RowState::inspecting: return "inspecting";
    case RowState::waiting: return "waiting";
    case RowState::converting: return "converting";
    case RowState::done: return "done";
    case RowState::failed: return "failed";
    case RowState::cancelled: return "cancelled";
  }
  return "waiting";
}

std::vector<std::string> pathsOf(GListModel* files) {
  std::vector<std::string> paths;
  const guint count = g_list_model_get_n_items(files);
  for (guint index = 0; index < count; ++index) {
    GFile* file = G_FILE(g_list_model_get_item(files, index));
    if (char* path = g_file_get_path(file)) {
      paths.emplace_back(path);
      g_free(path);
    }
    g_object_unref(file);
  }
  return paths;
}

}  // namespace

struct ConverterWindow::Row {
  std::string path;
  ItemKind kind = ItemKind::unreadable;
  RowState state = RowState::inspecting;
  std::string detail;     // the state's words: the published name, or why it failed
  std::string published;  // the first published file
  std::size_t publishedCount = 0;
  bool removed = false;

  Gtk::ListBoxRow widget;
  Gtk::Box box {Gtk::Orientation::HORIZONTAL, 12};
  Gtk::Image thumbnail;
  Gtk::Box texts {Gtk::Orientation::VERTICAL, 2};
  Gtk::Label name;
  Gtk::Label facts;
  Gtk::Box stateBox {Gtk::Orientation::HORIZONTAL, 6};
  Gtk::Spinner spinner;
  Gtk::Label stateLabel;
  Gtk::Button show {"Show in Files"};
  Gtk::Button remove;
  std::string factsText;     // type and size
  std::string factsDetails;  // what the inspection found
};

ConverterWindow::ConverterWindow(const Glib::RefPtr<Gtk::Application>& application, std::string helper)
    : helper_(std::move(helper)) {
  set_application(application);
  set_title("Converter");
  set_default_size(780, 760);
  set_icon_name("org.quorvantelmic.Converter");
  // Thumbnails sit on a faint tile, so that a white page still shows its edges.
  auto style = Gtk::CssProvider::create();
  style->load_from_data(".thumbnail { background-color: alpha(currentColor, 0.08); border-radius: 6px; }");
  Gtk::StyleContext::add_provider_for_display(get_display(), style, GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  settings_.helper = helper_;

  addFilesButton_.set_icon_name("list-add-symbolic");
  addFilesButton_.set_tooltip_text("Add Files (Ctrl+O)");
  nameForScreenReaders(addFilesButton_, "Add Files");
  addFilesButton_.set_action_name("app.add-files");
  addFolderButton_.set_icon_name("folder-open-symbolic");
  addFolderButton_.set_tooltip_text("Add Folder (Shift+Ctrl+O)");
  nameForScreenReaders(addFolderButton_, "Add Folder");
  addFolderButton_.set_action_name("app.add-folder");
  clearButton_.set_icon_name("edit-clear-all-symbolic");
  clearButton_.set_tooltip_text("Remove All Files From the List");
  nameForScreenReaders(clearButton_, "Remove All Files From the List");
  clearButton_.set_action_name("app.clear");
  header_.pack_start(addFilesButton_);
  header_.pack_start(addFolderButton_);
  header_.pack_end(clearButton_);
  set_titlebar(header_);

  list_.set_selection_mode(Gtk::SelectionMode::NONE);
  list_.add_css_class("rich-list");
  nameForScreenReaders(list_, "Files to convert");
  scroller_.set_child(list_);
  scroller_.set_vexpand(true);
  scroller_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
  stack_.add(makeEmptyPage(), "empty");
  stack_.add(scroller_, "list");
  stack_.set_vexpand(true);
  content_.append(stack_);
  content_.append(*Gtk::make_managed<Gtk::Separator>());
  content_.append(makeOptions());

  status_.set_xalign(0);
  status_.set_ellipsize(Pango::EllipsizeMode::END);
  status_.set_hexpand(true);
  cancelButton_.set_label("_Cancel");
  cancelButton_.set_use_underline(true);
  cancelButton_.set_tooltip_text("Stop after the step under way (Escape)");
  cancelButton_.set_action_name("app.cancel");
  convertButton_.set_label("C_onvert");
  convertButton_.set_use_underline(true);
  convertButton_.set_tooltip_text("Convert the files (Ctrl+Return)");
  convertButton_.add_css_class("suggested-action");
  convertButton_.set_action_name("app.convert");
  actions_.pack_start(status_);
  actions_.pack_end(convertButton_);
  actions_.pack_end(cancelButton_);
  content_.append(actions_);
  set_child(content_);

  // Files dropped on the window from a file manager.
  auto drop = Gtk::DropTarget::create(GDK_TYPE_FILE_LIST, Gdk::DragAction::COPY);
  drop->signal_drop().connect(
      [this](const Glib::ValueBase& value, double, double) {
        auto* files = static_cast<GdkFileList*>(g_value_get_boxed(value.gobj()));
        std::vector<std::string> paths;
        for (GSList* entry = gdk_file_list_get_files(files); entry != nullptr; entry = entry->next) {
          if (char* path = g_file_get_path(G_FILE(entry->data))) {
            paths.emplace_back(path);
            g_free(path);
          }
        }
        addPaths(paths);
        return !paths.empty();
      },
      false);
  add_controller(drop);

  factsReader_ = std::make_unique<ItemFactsReader>(mainLoop_, helper_, [this](std::size_t index, const InspectionFacts& facts) {
    inspected(index, facts);
  });
  refresh();
}

ConverterWindow::~ConverterWindow() {
  runner_.cancel();
  factsReader_.reset();
}

Gtk::Widget& ConverterWindow::makeEmptyPage() {
  auto* page = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 12);
  page->set_valign(Gtk::Align::CENTER);
  page->set_halign(Gtk::Align::CENTER);
  page->set_margin(36);
  auto* icon = Gtk::make_managed<Gtk::Image>();
  icon->set_from_icon_name("org.quorvantelmic.Converter");
  icon->set_pixel_size(128);
  icon->add_css_class("dim-label");
  auto* title = Gtk::make_managed<Gtk::Label>("Add Images or PDFs");
  title->add_css_class("title-1");
  auto* description = Gtk::make_managed<Gtk::Label>(
      "Drop files or folders here, or choose them with Add Files.\n"
      "They are read by a separate, sandboxed helper, never by this window.");
  description->set_justify(Gtk::Justification::CENTER);
  description->set_wrap(true);
  description->add_css_class("dim-label");
  auto* add = Gtk::make_managed<Gtk::Button>("_Add Files…", true);
  add->set_action_name("app.add-files");
  add->set_halign(Gtk::Align::CENTER);
  add->add_css_class("pill");
  add->add_css_class("suggested-action");
  page->append(*icon);
  page->append(*title);
  page->append(*description);
  page->append(*add);
  return *page;
}

Gtk::Widget& ConverterWindow::makeOptions() {
  auto* grid = Gtk::make_managed<Gtk::Grid>();
  grid->set_row_spacing(8);
  grid->set_column_spacing(12);
  grid->set_margin(12);
  grid->set_margin_start(18);
  grid->set_margin_end(18);
  int line = 0;
  const auto labelled = [&](const char* text, Gtk::Widget& control, Gtk::Widget* after = nullptr) {
    auto* label = Gtk::make_managed<Gtk::Label>(text, true);
    label->set_xalign(1);
    label->set_mnemonic_widget(control);
    control.set_hexpand(true);
    grid->attach(*label, 0, line);
    if (after == nullptr) {
      grid->attach(control, 1, line, 2);
    } else {
      grid->attach(control, 1, line);
      grid->attach(*after, 2, line);
    }
    ++line;
  };

  imageTarget_.set_model(Gtk::StringList::create(imageTargetNames));
  imageTarget_.set_selected(1);
  imageTarget_.property_selected().signal_changed().connect([this] {
    if (!syncing_) setImageTarget(imageTargets.at(imageTarget_.get_selected()));
  });
  labelled("Convert _images to", imageTarget_);

  pageTarget_.set_model(Gtk::StringList::create(pageTargetNames));
  pageTarget_.set_selected(0);
  pageTarget_.property_selected().signal_changed().connect([this] {
    if (!syncing_) setPageTarget(pageTargets.at(pageTarget_.get_selected()));
  });
  labelled("Turn _PDF pages into", pageTarget_);

  quality_.set_range(60, 100);
  quality_.set_increments(1, 5);
  quality_.set_value(85);
  quality_.signal_value_changed().connect([this] {
    if (!syncing_) setQuality(quality_.get_value_as_int());
  });
  auto* percent = Gtk::make_managed<Gtk::Label>("percent (JPEG, AVIF)");
  percent->set_xalign(0);
  percent->add_css_class("dim-label");
  labelled("_Quality", quality_, percent);

  maximumSize_.set_range(0, 20000);
  maximumSize_.set_increments(10, 100);
  maximumSize_.set_value(0);
  maximumSize_.signal_value_changed().connect([this] {
    if (!syncing_) setMaximumSize(maximumSize_.get_value_as_int());
  });
  auto* pixels = Gtk::make_managed<Gtk::Label>("pixels, longest side (0 keeps the size)");
  pixels->set_xalign(0);
  pixels->add_css_class("dim-label");
  labelled("_Maximum size", maximumSize_, pixels);

  stripMetadata_.set_label("_Remove metadata (location included)");
  stripMetadata_.set_use_underline(true);
  stripMetadata_.signal_toggled().connect([this] {
    if (!syncing_) setStripMetadata(stripMetadata_.get_active());
  });
  grid->attach(stripMetadata_, 1, line++, 2);

  destination_.set_model(Gtk::StringList::create({"Beside the originals", "In a chosen folder"}));
  destination_.property_selected().signal_changed().connect([this] {
    if (syncing_) return;
    if (destination_.get_selected() == 0) {
      setDestinationFolder({});
    } else if (chosenFolder_.empty()) {
      chooseDestination();
    } else {
      setDestinationFolder(chosenFolder_);
    }
  });
  destinationFolder_.set_label("Choose _Folder…");
  destinationFolder_.set_use_underline(true);
  destinationFolder_.signal_clicked().connect([this] { chooseDestination(); });
  labelled("_Save", destination_, &destinationFolder_);
  return *grid;
}

void ConverterWindow::addPaths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      for (const std::string& file : convertibleFilesUnder(path)) addFile(file);
    } else {
      addFile(path);
    }
  }
  refresh();
}

// The images and PDFs in a folder and in its subfolders, in path order, as a
// person who adds "Holidays" expects its "Day 1" and "Day 2" with it. Hidden
// entries (and all beneath a hidden folder) are left out; links to folders
// are not followed, so no link leads the walk in circles or out of the
// folder; folders that cannot be read are passed over.
std::vector<std::string> ConverterWindow::convertibleFilesUnder(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  std::error_code error;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    const std::string name = walk->path().filename().string();
    std::error_code kind;
    if (name.starts_with(".")) {
      if (walk->is_directory(kind)) walk.disable_recursion_pending();
      continue;
    }
    if (walk->is_regular_file(kind) && (looksLikeImage(name) || isPDFName(name))) {
      found.push_back(walk->path().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

void ConverterWindow::addFile(const std::string& given) {
  std::string path = given;
  if (char* absolute = ::realpath(given.c_str(), nullptr)) {
    path = absolute;
    std::free(absolute);
  }
  for (const auto& row : rows_) {
    if (!row->removed && row->path == path) return;
  }
  auto row = std::make_unique<Row>();
  Row& added = *row;
  const std::size_t index = rows_.size();
  added.path = path;
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  added.factsText = exists ? std::string(Glib::format_size(static_cast<guint64>(status.st_size))) : "missing";

  added.thumbnail.set_from_icon_name(isPDFName(path) ? "x-office-document-symbolic" : "image-x-generic-symbolic");
  added.thumbnail.set_pixel_size(32);
  added.thumbnail.set_size_request(72, 72);
  added.thumbnail.add_css_class("thumbnail");
  added.name.set_text(printableName(leafOf(path)));
  added.name.set_xalign(0);
  added.name.set_ellipsize(Pango::EllipsizeMode::MIDDLE);
  added.name.add_css_class("heading");
  added.facts.set_text(added.factsText + " \u00b7 inspecting\u2026");
  added.facts.set_xalign(0);
  added.facts.set_ellipsize(Pango::EllipsizeMode::END);
  added.facts.add_css_class("dim-label");
  added.stateLabel.set_xalign(0);
  added.stateLabel.set_wrap(true);
  added.stateLabel.set_wrap_mode(Pango::WrapMode::WORD_CHAR);
  added.stateLabel.set_selectable(false);
  added.stateBox.append(added.spinner);
  added.stateBox.append(added.stateLabel);
  added.texts.append(added.name);
  added.texts.append(added.facts);
  added.texts.append(added.stateBox);
  added.texts.set_hexpand(true);
  added.texts.set_valign(Gtk::Align::CENTER);
  added.show.set_valign(Gtk::Align::CENTER);
  added.show.set_visible(false);
  added.show.set_tooltip_text("Show the converted file in the file manager");
  nameForScreenReaders(added.show, "Show " + added.name.get_text() + " converted in Files");
  added.show.signal_clicked().connect([this, index] { showInFileManager(rows_.at(index)->published); });
  added.remove.set_icon_name("list-remove-symbolic");
  added.remove.set_valign(Gtk::Align::CENTER);
  added.remove.add_css_class("flat");
  added.remove.set_tooltip_text("Remove from the list");
  nameForScreenReaders(added.remove, "Remove " + added.name.get_text() + " from the list");
  added.remove.signal_clicked().connect([this, index] {
    Row& gone = *rows_.at(index);
    if (busy()) return;
    gone.removed = true;
    list_.remove(gone.widget);
    refresh();
    writeStateForTests();
  });
  added.box.set_margin(6);
  added.box.append(added.thumbnail);
  added.box.append(added.texts);
  added.box.append(added.show);
  added.box.append(added.remove);
  added.widget.set_child(added.box);
  added.widget.set_activatable(false);
  list_.append(added.widget);
  rows_.push_back(std::move(row));
  setState(added, RowState::inspecting);
  factsReader_->inspect(index, path);
}

void ConverterWindow::inspected(std::size_t index, const InspectionFacts& facts) {
  Row& row = *rows_.at(index);
  row.kind = facts.kind;
  row.factsText = facts.type + " \u00b7 " + row.factsText;
  // Why the helper cannot read a file shows here until converting it fails
  // with that reason in its state line.
  row.factsDetails = facts.details;
  row.facts.set_text(row.factsText + " \u00b7 " + facts.details);
  if (!facts.thumbnail.empty()) {
    // A PNG the helper wrote from the file, small and already checked; the
    // file itself is never decoded here.
    try {
      row.thumbnail.set(Gdk::Texture::create_from_file(Gio::File::create_for_path(facts.thumbnail)));
      row.thumbnail.set_pixel_size(64);
    } catch (const Glib::Error&) {
    }
  }
  if (row.state == RowState::inspecting) setState(row, RowState::waiting, {}, false);
  // Written once Convert is enabled: the tests convert as soon as the last
  // row is inspected.
  refresh();
  writeStateForTests();
}

void ConverterWindow::setState(Row& row, RowState state, const std::string& detail, bool report) {
  row.state = state;
  row.detail = detail;
  row.spinner.set_spinning(state == RowState::converting || state == RowState::inspecting);
  row.spinner.set_visible(state == RowState::converting || state == RowState::inspecting);
  row.stateLabel.remove_css_class("error");
  row.stateLabel.remove_css_class("success");
  row.stateLabel.remove_css_class("dim-label");
  std::string text;
  switch (state) {
    case RowState::inspecting: text = "Inspecting\u2026"; row.stateLabel.add_css_class("dim-label"); break;
    case RowState::waiting: text = "Waiting"; row.stateLabel.add_css_class("dim-label"); break;
    case RowState::converting: text = "Converting\u2026"; break;
    case RowState::done: text = "Saved as " + detail; row.stateLabel.add_css_class("success"); break;
    case RowState::failed: text = "Not converted: " + detail; row.stateLabel.add_css_class("error"); break;
    case RowState::cancelled: text = "Cancelled; nothing was saved"; row.stateLabel.add_css_class("dim-label"); break;
  }
  row.stateLabel.set_text(text);
  row.show.set_visible(state == RowState::done && !row.published.empty());
  if (row.kind == ItemKind::unreadable && !row.factsDetails.empty()) {
    row.facts.set_text(state == RowState::failed ? row.factsText : row.factsText + " \u00b7 " + row.factsDetails);
  }
  nameForScreenReaders(row.widget, row.name.get_text() + ": " + text);
  describeForScreenReaders(row.widget, row.facts.get_text());
  if (report) writeStateForTests();
}

void ConverterWindow::refresh() {
  std::size_t shown = 0;
  std::size_t pdfs = 0;
  std::size_t inspecting = 0;
  for (const auto& row : rows_) {
    if (row->removed) continue;
    ++shown;
    if (row->kind == ItemKind::pdf) ++pdfs;
    if (row->state == RowState::inspecting) ++inspecting;
  }
  stack_.set_visible_child(shown == 0 ? "empty" : "list");
  const auto application = std::dynamic_pointer_cast<Gtk::Application>(get_application());
  const auto enable = [&](const char* name, bool enabled) {
    if (!application) return;
    if (auto action = std::dynamic_pointer_cast<Gio::SimpleAction>(application->lookup_action(name))) {
      action->set_enabled(enabled);
    }
  };
  enable("convert", !busy() && shown > 0 && inspecting == 0);
  enable("cancel", busy());
  enable("clear", !busy() && shown > 0);
  enable("add-files", !busy());
  enable("add-folder", !busy());
  for (const auto& row : rows_) row->remove.set_sensitive(!busy());
  for (Gtk::Widget* control : std::initializer_list<Gtk::Widget*> {&imageTarget_, &pageTarget_, &quality_, &maximumSize_,
                                                                    &stripMetadata_, &destination_, &destinationFolder_}) {
    control->set_sensitive(!busy());
  }
  if (!busy()) {
    if (shown == 0) {
      status_.set_text("");
    } else if (inspecting > 0) {
      status_.set_text("Inspecting " + std::to_string(inspecting) + " of " + std::to_string(shown) + " files\u2026");
    } else {
      status_.set_text(std::to_string(shown) + (shown == 1 ? " file" : " files") +
                       (pdfs > 0 ? " (" + std::to_string(pdfs) + " PDF" + (pdfs == 1 ? ")" : "s)") : std::string()));
    }
  }
}

void ConverterWindow::convert() {
  if (busy()) return;
  std::vector<BatchItem> items;
  for (std::size_t index = 0; index < rows_.size(); ++index) {
    Row& row = *rows_[index];
    if (row.removed || row.state == RowState::inspecting) continue;
    items.push_back(BatchItem {index, row.path, row.kind});
    row.published.clear();
    row.publishedCount = 0;
    setState(row, RowState::waiting);
  }
  if (items.empty()) return;
  BatchListener listener;
  listener.started = [this](std::size_t index) {
    Row& row = *rows_.at(index);
    if (row.state == RowState::waiting) setState(row, RowState::converting);
  };
  listener.published = [this](std::size_t index, const std::string& path) {
    Row& row = *rows_.at(index);
    // The pages of a PDF are several files: the row names the first.
    if (row.publishedCount++ == 0) row.published = path;
    const std::size_t more = row.publishedCount - 1;
    setState(row, RowState::done,
             printableName(leafOf(row.published)) +
                 (more == 0 ? std::string() : " and " + std::to_string(more) + (more == 1 ? " more file" : " more files")));
  };
  listener.failed = [this](std::size_t index, const std::string& reason) {
    setState(*rows_.at(index), RowState::failed, reason);
  };
  listener.unfinished = [this](std::size_t index, bool stopped) {
    Row& row = *rows_.at(index);
    if (row.state == RowState::done || row.state == RowState::failed) return;
    if (stopped) {
      setState(row, RowState::cancelled);
    } else {
      setState(row, RowState::failed, "it was not converted");
    }
  };
  listener.finished = [this](bool stopped) { batchFinished(stopped); };
  batchStarted_ = std::chrono::steady_clock::now();
  runner_.start(planBatch(items, settings_), std::move(listener));
  refresh();
  status_.set_text("Converting " + std::to_string(items.size()) + (items.size() == 1 ? " file\u2026" : " files\u2026"));
  writeStateForTests();
}

void ConverterWindow::batchFinished(bool stopped) {
  std::size_t done = 0;
  std::size_t failed = 0;
  std::size_t cancelled = 0;
  for (const auto& row : rows_) {
    if (row->removed) continue;
    done += row->state == RowState::done;
    failed += row->state == RowState::failed;
    cancelled += row->state == RowState::cancelled;
  }
  refresh();
  std::string summary = std::to_string(done) + " converted";
  if (failed > 0) summary += ", " + std::to_string(failed) + " failed";
  if (cancelled > 0) summary += ", " + std::to_string(cancelled) + " cancelled";
  status_.set_text((stopped ? "Cancelled: " : "Finished: ") + summary);
  writeStateForTests();
  // Someone who went elsewhere during a long batch hears that it ended.
  const auto elapsed = std::chrono::steady_clock::now() - batchStarted_;
  if (!is_active() && elapsed > std::chrono::seconds(10)) {
    auto notification = Gio::Notification::create(stopped ? "Conversion cancelled" : "Conversion finished");
    notification->set_body(summary);
    get_application()->send_notification("batch-finished", notification);
  }
}

void ConverterWindow::cancel() {
  if (!busy()) return;
  runner_.cancel();
  status_.set_text("Cancelling after the step under way\u2026");
}

void ConverterWindow::clear() {
  if (busy()) return;
  for (const auto& row : rows_) {
    if (row->removed) continue;
    row->removed = true;
    list_.remove(row->widget);
  }
  refresh();
  writeStateForTests();
}

void ConverterWindow::chooseFiles() {
  chooser_ = Gtk::FileChooserNative::create("Add Files", *this, Gtk::FileChooser::Action::OPEN, "_Add", "_Cancel");
  chooser_->set_select_multiple(true);
  auto filter = Gtk::FileFilter::create();
  filter->set_name("Images and PDFs");
  for (const char* type : {"image/jpeg", "image/png", "image/tiff", "image/webp", "image/gif", "image/bmp",
                           "image/avif", "image/heif", "image/heic", "application/pdf"}) {
    filter->add_mime_type(type);
  }
  chooser_->add_filter(filter);
  chooser_->signal_response().connect([this](int response) {
    if (response == static_cast<int>(Gtk::ResponseType::ACCEPT)) {
      addPaths(pathsOf(G_LIST_MODEL(chooser_->get_files()->gobj())));
    }
    chooser_.reset();
  });
  chooser_->show();
}

void ConverterWindow::chooseFolder() {
  chooser_ = Gtk::FileChooserNative::create("Add Folders", *this, Gtk::FileChooser::Action::SELECT_FOLDER, "_Add",
                                            "_Cancel");
  chooser_->set_select_multiple(true);
  chooser_->signal_response().connect([this](int response) {
    if (response == static_cast<int>(Gtk::ResponseType::ACCEPT)) {
      addPaths(pathsOf(G_LIST_MODEL(chooser_->get_files()->gobj())));
    }
    chooser_.reset();
  });
  chooser_->show();
}

void ConverterWindow::chooseDestination() {
  chooser_ = Gtk::FileChooserNative::create("Save Converted Files In", *this, Gtk::FileChooser::Action::SELECT_FOLDER,
                                            "_Select", "_Cancel");
  chooser_->signal_response().connect([this](int response) {
    std::string folder;
    if (response == static_cast<int>(Gtk::ResponseType::ACCEPT)) {
      if (const auto file = chooser_->get_file()) folder = file->get_path();
    }
    chooser_.reset();
    setDestinationFolder(folder.empty() ? chosenFolder_ : folder);
  });
  chooser_->show();
}

void ConverterWindow::setImageTarget(const std::string& target) {
  const auto found = std::find(imageTargets.begin(), imageTargets.end(), target);
  if (found == imageTargets.end()) return;
  settings_.imageTarget = target;
  syncing_ = true;
  imageTarget_.set_selected(static_cast<guint>(found - imageTargets.begin()));
  syncing_ = false;
}

void ConverterWindow::setPageTarget(const std::string& target) {
  const auto found = std::find(pageTargets.begin(), pageTargets.end(), target);
  if (found == pageTargets.end()) return;
  settings_.pageTarget = target;
  syncing_ = true;
  pageTarget_.set_selected(static_cast<guint>(found - pageTargets.begin()));
  syncing_ = false;
}

void ConverterWindow::setQuality(int percent) {
  settings_.quality = std::clamp(percent, 60, 100);
  syncing_ = true;
  quality_.set_value(settings_.quality);
  syncing_ = false;
}

void ConverterWindow::setMaximumSize(std::int64_t pixels) {
  settings_.maximumSize = std::clamp<std::int64_t>(pixels, 0, 20000);
  syncing_ = true;
  maximumSize_.set_value(static_cast<double>(settings_.maximumSize));
  syncing_ = false;
}

void ConverterWindow::setStripMetadata(bool strip) {
  settings_.stripMetadata = strip;
  syncing_ = true;
  stripMetadata_.set_active(strip);
  syncing_ = false;
}

void ConverterWindow::setDestinationFolder(const std::string& folder) {
  settings_.folder = folder;
  if (!folder.empty()) chosenFolder_ = folder;
  syncing_ = true;
  destination_.set_selected(folder.empty() ? 0 : 1);
  syncing_ = false;
  destinationFolder_.set_label(chosenFolder_.empty() ? "Choose _Folder…" : printableName(leafOf(chosenFolder_)));
  destinationFolder_.set_tooltip_text(chosenFolder_.empty() ? "Choose the folder converted files go to"
                                                            : "Converted files go to " + chosenFolder_);
  nameForScreenReaders(destinationFolder_, chosenFolder_.empty() ? "Choose Folder" : "Folder: " + chosenFolder_);
}

// The state of the rows as JSON in the file $QUORVANTELMIC_CONVERTER_STATE_FILE
// names, replaced whole on every change: what the end-to-end tests read back.
void ConverterWindow::writeStateForTests() const {
  const char* file = std::getenv("QUORVANTELMIC_CONVERTER_STATE_FILE");
  if (file == nullptr || file[0] == '\0') return;
  nlohmann::json state = {{"busy", busy()}, {"status", std::string(status_.get_text())}, {"rows", nlohmann::json::array()}};
  for (const auto& row : rows_) {
    if (row->removed) continue;
    state["rows"].push_back({{"path", row->path},
                             {"state", stateWord(row->state)},
                             {"detail", row->detail},
                             {"published", row->published},
                             {"facts", std::string(row->facts.get_text())},
                             {"kind", row->kind == ItemKind::pdf     ? "pdf"
                                      : row->kind == ItemKind::image ? "image"
                                                                     : "unreadable"}});
  }
  const std::string temporary = std::string(file) + ".part";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << state.dump() << "\n";
  }
  std::rename(temporary.c_str(), file);
}

bool ConverterWindow::saveScreenshot(const std::string& path) {
  const int width = get_width();
  const int height = get_height();
  if (width <= 0 || height <= 0) return false;
  auto paintable = Gtk::WidgetPaintable::create(*this);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(GDK_PAINTABLE(paintable->gobj()), GDK_SNAPSHOT(snapshot), width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  if (node == nullptr) return false;
  GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(gobj()));
  const graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
  const bool saved = texture != nullptr && gdk_texture_save_to_png(texture, path.c_str());
  if (texture != nullptr) g_object_unref(texture);
  gsk_render_node_unref(node);
  return saved;
}

}  // namespace quorvantelmic
