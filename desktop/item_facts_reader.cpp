#include "desktop/item_facts_reader.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "desktop/main_loop_queue.hpp"

namespace quorvantelmic {

namespace {

// The one file a thumbnail run publishes.
class ThumbnailObserver final : public ConversionObserver {
 public:
  void itemsCounted(std::size_t) override {}
  void itemStarted(std::size_t, const std::string&, const std::string&) override {}
  void itemPublished(std::size_t, const std::string& path) override {
    if (published.empty()) published = path;
  }
  void itemFailed(std::optional<std::size_t>, const std::string&, const std::string&, const HelperFault*) override {}
  void itemEnded(std::size_t) override {}
  void note(const std::string&) override {}
  void summary(const std::string&) override {}

  std::string published;
};

std::string typeName(const std::string& uniformType) {
  if (uniformType == "public.jpeg") return "JPEG image";
  if (uniformType == "public.png") return "PNG image";
  if (uniformType == "public.tiff") return "TIFF image";
  if (uniformType == "org.webmproject.webp") return "WebP image";
  if (uniformType == "com.compuserve.gif") return "GIF image";
  if (uniformType == "com.microsoft.bmp") return "BMP image";
  if (uniformType == "public.avif") return "AVIF image";
  if (uniformType == "public.heic" || uniformType == "public.heif") return "HEIF image";
  return "Image";
}

bool makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

std::string cacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  std::string folder;
  if (cache != nullptr && cache[0] == '/') {
    folder = cache;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.cache";
  } else {
    return {};
  }
  folder += "/quorvantelmic-converter";
  return makeFolders(folder + "/thumbnails") ? folder : std::string();
}

ItemFactsReader::ItemFactsReader(MainLoopQueue& mainLoop, std::string helper, Done done)
    : mainLoop_(mainLoop), helper_(std::move(helper)), done_(std::move(done)), thread_([this] { work(); }) {}

ItemFactsReader::~ItemFactsReader() {
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
  }
  cancellation_.request();
  wake_.notify_all();
  thread_.join();
}

void ItemFactsReader::inspect(std::size_t row, const std::string& path) {
  {
    const std::lock_guard lock(mutex_);
    queued_.emplace_back(row, path);
  }
  wake_.notify_all();
}

void ItemFactsReader::work() {
  for (;;) {
    std::pair<std::size_t, std::string> next;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !queued_.empty(); });
      if (closing_) return;
      next = std::move(queued_.front());
      queued_.pop_front();
    }
    InspectionFacts facts = inspectOne(next.second);
    if (cancellation_.requested()) return;
    mainLoop_.post([done = done_, row = next.first, facts = std::move(facts)] { done(row, facts); });
  }
}

InspectionFacts ItemFactsReader::inspectOne(const std::string& path) {
  InspectionFacts facts;
  ConversionJob job;
  job.helper = helper_;
  std::string head;
  try {
    const Inspection inspection = inspectSource(job, path, cancellation_);
    head = inspection.head;
    if (inspection.response.at("ok") == false) throw faultOf(inspection.response);
    char text[160];
    if (inspection.pdf) {
      const nlohmann::json& probe = inspection.response.at("pdfProbe");
      const auto pages = probe.at("pageCount").get<std::int64_t>();
      facts.kind = ItemKind::pdf;
      facts.type = "PDF document";
      std::snprintf(text, sizeof text, "%lld page%s", static_cast<long long>(pages), pages == 1 ? "" : "s");
      facts.details = text;
      if (probe.at("hasText").get<bool>()) facts.details += ", text";
      if (probe.at("hasForms").get<bool>()) facts.details += ", forms";
    } else {
      const nlohmann::json& probe = inspection.response.at("probe");
      facts.kind = ItemKind::image;
      facts.type = typeName(probe.at("uniformTypeIdentifier").get<std::string>());
      std::snprintf(text, sizeof text, "%lld \u00d7 %lld pixels", static_cast<long long>(probe.at("width").get<std::int64_t>()),
                    static_cast<long long>(probe.at("height").get<std::int64_t>()));
      facts.details = text;
      if (probe.at("frameCount").get<std::int64_t>() > 1) facts.details += ", animated";
      if (probe.at("hasIccProfile").get<bool>()) facts.details += ", colour profile";
      if (probe.at("hasMetadata").get<bool>()) facts.details += ", metadata";
    }
    facts.thumbnail = thumbnailOf(path, inspection.pdf);
  } catch (const HelperFault& fault) {
    facts.kind = ItemKind::unreadable;
    facts.type = "Not readable";
    facts.details = plainReason(fault, head);
  } catch (const std::exception&) {
    facts.kind = ItemKind::unreadable;
    facts.type = "Not readable";
    facts.details = "the helper answered with something that is not a response";
  }
  return facts;
}

// A thumbnail is named after the source's path, size and modification time,
// so a changed file gets a new one and an unchanged one is made once.
std::string ItemFactsReader::thumbnailOf(const std::string& path, bool pdf) {
  const std::string cache = cacheFolder();
  struct stat status {};
  if (cache.empty() || ::stat(path.c_str(), &status) != 0) return {};
  char key[64];
  std::snprintf(key, sizeof key, "%016zx-%llx-%llx", std::hash<std::string> {}(path),
                static_cast<unsigned long long>(status.st_size), static_cast<unsigned long long>(status.st_mtim.tv_sec));
  const std::string folder = cache + "/thumbnails";
  const std::string expected = folder + "/" + key + (pdf ? " page 1.png" : ".png");
  struct stat existing {};
  if (::stat(expected.c_str(), &existing) == 0) return expected;
  ConversionJob job;
  job.helper = helper_;
  job.destination = folder;
  job.sources = {path};
  job.name = key;
  job.target = "png";
  job.stripMetadata = true;
  job.onConflict = OnConflict::skip;
  job.jobs = 1;
  ThumbnailObserver observer;
  try {
    if (pdf) {
      job.firstPage = 1;
      job.lastPage = 1;
      job.dpi = 36;
      renderPDFPages(job, observer, cancellation_);
    } else {
      job.maximumWidth = 96;
      job.maximumHeight = 96;
      convertImages(job, observer, cancellation_);
    }
  } catch (const HelperFault&) {
    return {};
  } catch (const JobError&) {
    return {};
  }
  return observer.published;
}

}  // namespace quorvantelmic
