// Staging and publication sessions in an order the input chooses, over a real
// directory tree made afresh for every input: prepare (one output or a set),
// an output written into the staging directory (a real conversion through the
// request processor, or the conversion writer itself), publish, publish-set
// and cleanup, each as the JSON line the parent would send, through
// RequestProcessor::processLine with the destination as descriptor 3 (the
// source as 3 and the staging directory as 4 for a conversion). Between the
// requests a second actor, the user, creates, renames, replaces, changes or
// deletes entries in the destination and staging directories, and the input
// may arm failing system calls (fsync, renameat2, linkat or unlinkat after N
// calls, with an errno, once or a few times; or short reads) for the next
// request. The input is a colour byte for the source image, then one step
// after another: the step byte modulo 8, then its arguments in the order the
// steps below read them (fuzz/make-corpus.py writes seeds that way).
//
// Invariants:
// - every file the user made or changed, and every published output, stays
//   under its name with its inode and contents (the helper never removes,
//   renames or changes what it did not create, nor takes back a publication);
// - an ok answer names files that exist with the reported digest and length
//   (conversions) or identity (publications);
// - every error is one of the operation's codes with a well-formed message;
// - after a final cleanup of every session only the published outputs and
//   the user's files remain, unless the user tampered with that staging
//   directory or more than one call was made to fail in one request (a
//   single failure must always leave a state a later request can finish).
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/exclusive_output_writer.hpp"
#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/protocol/wire_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/session/request_processor.hpp"
#include "tests/fault_injection/system_call_faults.hpp"

using namespace quorvantelmic;
using nlohmann::json;
using testing_support::SystemCall;

// QUORVANTELMIC_FUZZ_REQUIRE, naming the broken invariant: with a dozen of
// them in one function the optimiser folds the aborts together, and a stack
// trace alone cannot tell which one broke.
#define REQUIRE_STEP(condition)                                                             \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "broken invariant, line %d: %s\n", __LINE__, #condition);       \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

namespace {

constexpr std::size_t sessionCount = 3;
constexpr std::size_t maximumSteps = 40;
constexpr const char* requestId = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
constexpr const char* displayPath = "/home/someone/Pictures";
// Descriptors the harness keeps for itself, far above 3 and 4.
constexpr int keptDescriptorFloor = 940;

const std::array<const char*, 6> extensions = {"png", "jpg", "bmp", "gif", "tiff", "pdf"};
const std::array<const char*, 6> targetTypes = {"public.png",        "public.jpeg", "com.microsoft.bmp",
                                                "com.compuserve.gif", "public.tiff", nullptr};
const std::array<const char*, 5> baseNames = {"Holiday", "Page 1", "Page 2", "Scan", "holiday"};

class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return at_ >= bytes_.size(); }
  std::uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::size_t below(std::size_t bound) { return next() % bound; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

std::string hex32(unsigned value) {
  char text[33];
  std::snprintf(text, sizeof text, "%032x", value);
  return text;
}

std::string stagedName(unsigned index, const std::string& extension) {
  return "output-" + hex32(index) + "." + extension;
}

std::string digestOf(const std::string& bytes) {
  return DescriptorDigest::sha256(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<struct stat> lstatPath(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return status;
}

std::optional<std::string> readPath(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  for (ssize_t got; (got = ::read(file.get(), buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
  return bytes;
}

bool writeNewFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file) return false;
  REQUIRE_STEP(::write(file.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  return true;
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(directory.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

void removeTree(const std::string& path) {
  const std::optional<struct stat> status = lstatPath(path);
  if (!status) return;
  if (S_ISDIR(status->st_mode)) {
    (void)::chmod(path.c_str(), 0700);
    for (const std::string& name : namesIn(path)) removeTree(path + "/" + name);
    REQUIRE_STEP(::rmdir(path.c_str()) == 0);
  } else {
    REQUIRE_STEP(::unlink(path.c_str()) == 0);
  }
}

// A 2 x 2 bottom-up 24-bit BMP in the colours `seed` picks: a source every
// image target converts in well under a millisecond.
std::string sourceImage(std::uint8_t seed) {
  std::string bytes = "BM";
  const auto put32 = [&](std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift & 0xFF));
  };
  const auto put16 = [&](std::uint16_t value) {
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
  };
  put32(54 + 16);
  put32(0);
  put32(54);
  put32(40);
  put32(2);
  put32(2);
  put16(1);
  put16(24);
  put32(0);
  put32(16);
  put32(2835);
  put32(2835);
  put32(0);
  put32(0);
  for (int row = 0; row < 2; ++row) {
    for (int pixel = 0; pixel < 6; ++pixel) bytes.push_back(static_cast<char>(seed * (row * 6 + pixel + 1)));
    bytes.append(2, '\0');
  }
  return bytes;
}

json wire(const ProtocolFileIdentity& identity) { return fileIdentityJson(identity); }

json envelope(const char* operation) {
  return json{{"protocolVersion", 4}, {"requestId", requestId}, {"operation", operation}};
}

// One planned output of a session, as the parent knows it.
struct PlannedOutput {
  std::string name;
  bool written = false;
  FileIdentity identity;
  std::string sha256;
};

struct Session {
  std::string stagingName;
  std::string stagingId;
  std::vector<PlannedOutput> outputs;
  bool prepared = false;
  // Once the parent has asked for a cleanup it writes no more outputs there.
  bool closing = false;
  FileIdentity ownerIdentity;
};

// A file that must stay exactly as it is: one the user made or changed, or a
// published output.
struct KeptFile {
  ino_t inode = 0;
  std::string sha256;
  bool byUser = false;
  mode_t mode = 0;
};

class Run {
 public:
  explicit Run(std::span<const std::uint8_t> data) : input_(data) {
    reserveRequestDescriptors();
    char pattern[] = "/dev/shm/quorvantelmic-stagefuzz-XXXXXX";
    char fallback[] = "/tmp/quorvantelmic-stagefuzz-XXXXXX";
    // tmpfs when there is one: every step synchronises, and a disk would make
    // that the whole cost of an input.
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) made = ::mkdtemp(fallback);
    REQUIRE_STEP(made != nullptr);
    root_ = made;
    destination_ = root_ + "/destination";
    REQUIRE_STEP(::mkdir(destination_.c_str(), 0700) == 0);
    destinationFd_ = keep(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string source = root_ + "/source.bmp";
    REQUIRE_STEP(writeNewFile(source, sourceImage(input_.next()), 0600));
    sourceFd_ = keep(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    for (std::size_t index = 0; index < sessionCount; ++index) {
      sessions_[index].stagingName = ".quorvantelmic-stage-" + hex32(0xabc0 + static_cast<unsigned>(index));
      sessions_[index].stagingId = "5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b" + std::to_string(index);
    }
  }

  ~Run() {
    testing_support::clearInjectedFaults();
    // Nothing of this tree stays open at 3 and 4.
    placeDescriptor(nullDevice().get(), 3);
    placeDescriptor(nullDevice().get(), 4);
    destinationFd_.reset();
    sourceFd_.reset();
    removeTree(root_);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void play() {
    for (std::size_t step = 0; step < maximumSteps && !input_.empty(); ++step) {
      switch (input_.below(8)) {
        case 0: prepare(false); break;
        case 1: prepare(true); break;
        case 2: writeOutput(); break;
        case 3: publish(); break;
        case 4: publishSet(); break;
        case 5: cleanup(sessions_[input_.below(sessionCount)], false); break;
        case 6: interfere(); break;
        default: armFault(); break;
      }
      requireKeptFiles();
    }
    finish();
  }

 private:
  static UniqueFd keep(int descriptor) {
    REQUIRE_STEP(descriptor >= 0);
    UniqueFd high(::fcntl(descriptor, F_DUPFD_CLOEXEC, keptDescriptorFloor));
    ::close(descriptor);
    REQUIRE_STEP(static_cast<bool>(high));
    return high;
  }

  std::string stagingPath(const Session& session) const { return destination_ + "/" + session.stagingName; }

  FileIdentity identityOf(const std::string& path) const {
    const std::optional<struct stat> status = lstatPath(path);
    return status ? FileIdentity::of(*status) : FileIdentity();
  }

  // What the parent presents: the current identity, unless the input asks for
  // a stale or wrong one.
  ProtocolFileIdentity presented(FileIdentity identity) {
    switch (input_.next() % 16) {
      case 0: ++identity.size; break;
      case 1: ++identity.modifiedNanoseconds; break;
      case 2: ++identity.inode; break;
      default: break;
    }
    return identity.protocolValue();
  }

  ProtocolFileIdentity destinationIdentity() {
    struct stat status {};
    REQUIRE_STEP(::fstat(destinationFd_.get(), &status) == 0);
    return presented(FileIdentity::of(status));
  }

  // /dev/null, which holds 3 and 4 between requests.
  static const UniqueFd& nullDevice() {
    static const UniqueFd device = keep(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return device;
  }

  // Descriptors 3 and 4 stay taken for the whole process, by /dev/null between
  // requests: a number that is free for a moment would be taken by whatever
  // opens next (the sanitizer's symbolizer pipes), and the next request's
  // descriptor would replace it.
  static void reserveRequestDescriptors() {
    for (const int number : {3, 4}) {
      if (::fcntl(number, F_GETFD) < 0) placeDescriptor(nullDevice().get(), number);
    }
  }

  static void placeDescriptor(int from, int number) {
    REQUIRE_STEP(::dup3(from, number, O_CLOEXEC) == number);
  }

  // One request through the helper's own entry point, with any armed failure
  // in force for exactly this request.
  HelperResponse send(const json& request, std::initializer_list<HelperErrorCode> allowed) {
    if (armedFailures_ > 1) severalFailures_ = true;
    // One processor for the process, as in the helper.
    static const RequestProcessor processor;
    const HelperResponse response = processor.processLine(request.dump());
    testing_support::clearInjectedFaults();
    armedFailures_ = 0;
    REQUIRE_STEP(response.requestId == requestId);
    REQUIRE_STEP(wireString(response.operation) == request.at("operation").get<std::string>());
    const std::string answer = encodeResponse(response);
    // QUORVANTELMIC_FUZZ_TRACE=1 shows the dialogue of an input being replayed.
    static const bool trace = std::getenv("QUORVANTELMIC_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "> %s\n< %s\n", request.dump().c_str(), answer.c_str());
    if (!response.ok) {
      REQUIRE_STEP(response.error.has_value());
      REQUIRE_STEP(std::find(allowed.begin(), allowed.end(), response.error->code) != allowed.end());
      fuzzing::requireWellFormedFault(HelperFault(response.error->code, response.error->message));
    } else {
      REQUIRE_STEP(!response.error.has_value());
    }
    return response;
  }

  static constexpr std::initializer_list<HelperErrorCode> stagingCodes = {
      HelperErrorCode::invalidRequest, HelperErrorCode::resourceLimit, HelperErrorCode::outputExists,
      HelperErrorCode::commitExhausted, HelperErrorCode::filesystemPolicy};

  void prepare(bool set) {
    Session& session = sessions_[input_.below(sessionCount)];
    const std::size_t count = set ? 1 + input_.below(4) : 1;
    const unsigned base = static_cast<unsigned>(&session - sessions_.data()) * 16;
    std::vector<std::string> names;
    for (std::size_t index = 0; index < count; ++index) {
      names.push_back(stagedName(base + static_cast<unsigned>(index), extensions[input_.below(extensions.size())]));
    }
    json request = envelope(set ? "prepare-staging-set" : "prepare-staging");
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = wire(destinationIdentity());
    request["stagingId"] = session.stagingId;
    request["stagingName"] = session.stagingName;
    if (set) {
      request["outputNames"] = names;
    } else {
      request["outputName"] = names[0];
    }
    placeDescriptor(destinationFd_.get(), 3);
    const HelperResponse response = send(request, stagingCodes);
    if (!response.ok) return;
    // A new staging directory under the session's name, private, holding only
    // its ownership record, whose identity was reported.
    const std::optional<struct stat> staging = lstatPath(stagingPath(session));
    REQUIRE_STEP(staging && S_ISDIR(staging->st_mode) && (staging->st_mode & 0777) == 0700);
    REQUIRE_STEP(FileIdentity::of(*staging) == FileIdentity(*response.stagingIdentity));
    REQUIRE_STEP(namesIn(stagingPath(session)) == std::vector<std::string>{".owner.json"});
    session.prepared = true;
    session.closing = false;
    session.ownerIdentity = FileIdentity(*response.ownerIdentity);
    session.outputs.clear();
    for (const std::string& name : names) session.outputs.push_back(PlannedOutput{name, false, {}, {}});
  }

  // A planned output written into the staging directory: a real conversion of
  // the BMP source when the extension is an image target, else (or when the
  // input says so) the conversion writer with bytes from the input.
  void writeOutput() {
    Session& session = sessions_[input_.below(sessionCount)];
    if (session.outputs.empty() || session.closing) return;
    PlannedOutput& output = session.outputs[input_.below(session.outputs.size())];
    const std::string extension = output.name.substr(output.name.rfind('.') + 1);
    const std::size_t kind = static_cast<std::size_t>(
        std::find(extensions.begin(), extensions.end(), extension) - extensions.begin());
    const int opened = ::open(stagingPath(session).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return;
    // Off 3 and 4, which it is about to be placed at.
    const UniqueFd staging = keep(opened);
    const std::uint8_t mode = input_.next();
    std::optional<std::string> sha256;
    if (targetTypes[kind] != nullptr && mode % 2 == 0) {
      json request = envelope("convert-image");
      request["sourcePath"] = "/dev/fd/3";
      request["outputPath"] = "/dev/fd/4/" + output.name;
      request["options"] = {{"quality", 0.8},
                            {"metadataPolicy", mode & 2 ? "strip" : "preserve"},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", targetTypes[kind]},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
      placeDescriptor(sourceFd_.get(), 3);
      placeDescriptor(staging.get(), 4);
      const HelperResponse response =
          send(request, {HelperErrorCode::invalidRequest, HelperErrorCode::unsupportedSource,
                         HelperErrorCode::resourceLimit, HelperErrorCode::decodeFailed, HelperErrorCode::encodeFailed,
                         HelperErrorCode::outputExists, HelperErrorCode::filesystemPolicy});
      placeDescriptor(nullDevice().get(), 4);
      if (!response.ok) return;
      // The output exists with the reported length and digest.
      const std::optional<std::string> bytes = readPath(stagingPath(session) + "/" + output.name);
      REQUIRE_STEP(bytes && static_cast<std::int64_t>(bytes->size()) == *response.byteLength);
      REQUIRE_STEP(digestOf(*bytes) == *response.sha256);
      sha256 = *response.sha256;
    } else {
      std::string contents(1 + input_.below(48), '\0');
      for (char& c : contents) c = static_cast<char>(input_.next());
      if (armedFailures_ > 1) severalFailures_ = true;
      try {
        (void)ExclusiveOutputWriter(staging.get()).write(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()),
            "/dev/fd/4/" + output.name, {});
        sha256 = digestOf(contents);
      } catch (const HelperFault& fault) {
        fuzzing::requireWellFormedFault(fault);
      }
      testing_support::clearInjectedFaults();
      armedFailures_ = 0;
      if (!sha256) return;
      REQUIRE_STEP(readPath(stagingPath(session) + "/" + output.name) == contents);
    }
    output.written = true;
    output.identity = identityOf(stagingPath(session) + "/" + output.name);
    output.sha256 = *sha256;
  }

  // The identity the parent presents for a staged output: as written, or the
  // current one when only its status-change time moved (a publication that
  // was rolled back restores its permissions).
  FileIdentity stagedIdentity(const Session& session, const PlannedOutput& output) const {
    const FileIdentity current = identityOf(stagingPath(session) + "/" + output.name);
    return current.sameContentStamp(output.identity) ? current : output.identity;
  }

  std::string presentedDigest(const PlannedOutput& output) {
    if (input_.next() % 16 == 0) return std::string(64, 'a');
    return output.written ? output.sha256 : std::string(64, '0');
  }

  json publicationRequest(const char* operation, Session& session) {
    json request = envelope(operation);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationDisplayPath"] = displayPath;
    request["destinationIdentity"] = wire(destinationIdentity());
    request["stagingName"] = session.stagingName;
    request["stagingId"] = session.stagingId;
    request["stagingIdentity"] = wire(presented(identityOf(stagingPath(session))));
    request["ownerIdentity"] = wire(presented(session.ownerIdentity));
    return request;
  }

  // A published file: exists under its name in the destination, is the
  // committed identity, holds the validated bytes; from now on it is the
  // user's and must stay.
  void requirePublished(const Session& session, const std::string& displayName, const std::string& finalPath,
                        const ProtocolFileIdentity& committed, const std::string& sha256) {
    REQUIRE_STEP(finalPath == std::string(displayPath) + "/" + displayName);
    const std::string path = destination_ + "/" + displayName;
    const std::optional<struct stat> status = lstatPath(path);
    REQUIRE_STEP(status && S_ISREG(status->st_mode));
    const FileIdentity identity(committed);
    REQUIRE_STEP(FileIdentity::of(*status).sameObject(identity) && status->st_size == identity.size);
    const std::optional<std::string> bytes = readPath(path);
    REQUIRE_STEP(bytes && digestOf(*bytes) == sha256);
    kept_[displayName] = KeptFile{status->st_ino, sha256, false, 0};
    publishedFrom_[status->st_ino] = session.stagingName;
  }

  void publish() {
    Session& session = sessions_[input_.below(sessionCount)];
    if (session.outputs.empty()) return;
    PlannedOutput& output = session.outputs[input_.below(session.outputs.size())];
    json request = publicationRequest("publish-output", session);
    const std::string extension = output.name.substr(output.name.rfind('.') + 1);
    request["outputName"] = output.name;
    request["outputIdentity"] = wire(presented(stagedIdentity(session, output)));
    const std::string sha256 = presentedDigest(output);
    request["outputSha256"] = sha256;
    request["outputBaseName"] = baseNames[input_.below(baseNames.size())];
    request["outputExtension"] = extension;
    placeDescriptor(destinationFd_.get(), 3);
    const HelperResponse response = send(request, stagingCodes);
    if (!response.ok) return;
    requirePublished(session, *response.displayName, *response.finalPath, *response.committedIdentity, sha256);
    output.written = false;
  }

  void publishSet() {
    Session& session = sessions_[input_.below(sessionCount)];
    if (session.outputs.empty()) return;
    json request = publicationRequest("publish-output-set", session);
    request["outputs"] = json::array();
    std::vector<std::string> digests;
    const std::size_t firstBase = input_.below(baseNames.size());
    for (std::size_t index = 0; index < session.outputs.size(); ++index) {
      const PlannedOutput& output = session.outputs[index];
      digests.push_back(presentedDigest(output));
      request["outputs"].push_back(json{{"outputName", output.name},
                                        {"outputIdentity", wire(presented(stagedIdentity(session, output)))},
                                        {"outputSha256", digests.back()},
                                        {"outputBaseName", baseNames[(firstBase + index) % baseNames.size()]},
                                        {"outputExtension", output.name.substr(output.name.rfind('.') + 1)}});
    }
    placeDescriptor(destinationFd_.get(), 3);
    const HelperResponse response = send(request, stagingCodes);
    if (!response.ok) return;
    REQUIRE_STEP(response.publishedOutputs->size() == session.outputs.size());
    for (std::size_t index = 0; index < session.outputs.size(); ++index) {
      const PublishedOutputRecord& record = (*response.publishedOutputs)[index];
      requirePublished(session, record.displayName, record.finalPath, record.committedIdentity, digests[index]);
      session.outputs[index].written = false;
    }
  }

  // cleanup-staging for a single output, cleanup-staging-set otherwise, with
  // a binding for every output the parent wrote that is still staged.
  void cleanup(Session& session, bool final) {
    if (session.outputs.empty()) return;
    const bool single = session.outputs.size() == 1 && (final || input_.next() % 4 != 0);
    json request = envelope(single ? "cleanup-staging" : "cleanup-staging-set");
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = wire(final ? identityOf(destination_).protocolValue() : destinationIdentity());
    request["stagingId"] = session.stagingId;
    request["stagingName"] = session.stagingName;
    const FileIdentity staging = identityOf(stagingPath(session));
    request["stagingIdentity"] = wire(final ? staging.protocolValue() : presented(staging));
    request["ownerIdentity"] = wire(final ? session.ownerIdentity.protocolValue() : presented(session.ownerIdentity));
    json names = json::array();
    json bindings = json::array();
    for (const PlannedOutput& output : session.outputs) {
      names.push_back(output.name);
      const bool staged = lstatPath(stagingPath(session) + "/" + output.name).has_value();
      if (!output.written || !(staged || (!final && input_.next() % 8 == 0))) continue;
      bindings.push_back(json{{"outputName", output.name},
                              {"identity", wire(output.identity.protocolValue())},
                              {"sha256", output.sha256}});
    }
    if (single) {
      request["outputName"] = names[0];
      request["output"] = nullptr;
      if (!bindings.empty()) {
        request["output"] = {{"identity", bindings[0]["identity"]}, {"sha256", bindings[0]["sha256"]}};
      }
    } else {
      request["outputNames"] = names;
      request["outputs"] = bindings;
    }
    placeDescriptor(destinationFd_.get(), 3);
    session.closing = true;
    const HelperResponse response = send(request, stagingCodes);
    if (response.ok) {
      REQUIRE_STEP(!lstatPath(stagingPath(session)));
      session.prepared = false;
      session.outputs.clear();
    }
  }

  // Every entry of the destination and of the directories in it, as paths
  // relative to the destination, in name order.
  std::vector<std::string> entries() const {
    std::vector<std::string> found;
    for (const std::string& name : namesIn(destination_)) {
      found.push_back(name);
      const std::optional<struct stat> status = lstatPath(destination_ + "/" + name);
      if (status && S_ISDIR(status->st_mode)) {
        for (const std::string& inner : namesIn(destination_ + "/" + name)) found.push_back(name + "/" + inner);
      }
    }
    return found;
  }

  // Names the user picks: the next publications' names, the staging
  // directories' own names, the planned outputs and the ownership record
  // inside a staging directory, and names of its own.
  std::string userName(bool inStaging) {
    const std::size_t choice = input_.below(8);
    if (inStaging) {
      const Session& session = sessions_[input_.below(sessionCount)];
      if (choice < 4 && !session.outputs.empty()) return session.outputs[input_.below(session.outputs.size())].name;
      if (choice < 6) return ".owner.json";
      return "user-" + std::to_string(choice);
    }
    if (choice < 5) {
      const std::size_t collision = input_.below(3);
      std::string name = baseNames[input_.below(baseNames.size())];
      if (collision > 0) name += " " + std::to_string(collision + 1);
      return name + "." + extensions[input_.below(extensions.size())];
    }
    if (choice < 7) return sessions_[input_.below(sessionCount)].stagingName;
    return "user-" + std::to_string(choice);
  }

  // The staging directory of `path` (relative to the destination), whose
  // leftovers are then excused: the user took the helper's work into its own
  // hands.
  void taint(const std::string& path) {
    const std::size_t slash = path.find('/');
    if (slash != std::string::npos) excused_.insert(path.substr(0, slash));
    const std::optional<struct stat> status = lstatPath(destination_ + "/" + path);
    if (status && S_ISDIR(status->st_mode)) excused_.insert(path);
  }

  void keepUserFile(const std::string& path) {
    const std::optional<struct stat> status = lstatPath(destination_ + "/" + path);
    const std::optional<std::string> bytes = readPath(destination_ + "/" + path);
    REQUIRE_STEP(status && bytes);
    kept_[path] = KeptFile{status->st_ino, digestOf(*bytes), true, static_cast<mode_t>(status->st_mode & 07777)};
  }

  // The user is about to delete or overwrite `path`. When it is a published
  // output, a pin its publication could not remove (see the cleanup of
  // publication leftovers) may now be that file's last name: cleanup must not
  // take it without a binding to prove it, so that staging directory stays.
  void losing(const std::string& path) {
    const std::optional<struct stat> status = lstatPath(destination_ + "/" + path);
    if (!status || !S_ISREG(status->st_mode)) return;
    const auto published = publishedFrom_.find(status->st_ino);
    if (published != publishedFrom_.end()) excused_.insert(published->second);
  }

  void interfere() {
    const std::size_t action = input_.below(5);
    const std::vector<std::string> present = entries();
    const std::string contents = "user " + std::to_string(input_.next());
    if (action == 0) {
      // Create a file of its own, exclusively.
      const bool inStaging = input_.next() % 2 == 1;
      const Session& session = sessions_[input_.below(sessionCount)];
      const std::string path = inStaging ? session.stagingName + "/" + userName(true) : userName(false);
      if (!writeNewFile(destination_ + "/" + path, contents, 0600)) return;
      taint(path);
      keepUserFile(path);
      return;
    }
    if (present.empty()) return;
    const std::string chosen = present[input_.below(present.size())];
    const std::string from = destination_ + "/" + chosen;
    const std::optional<struct stat> status = lstatPath(from);
    if (!status) return;
    taint(chosen);
    if (action == 1) {
      // Rename (replacing whatever the new name held) within the destination
      // or into a staging directory.
      const bool inStaging = input_.next() % 2 == 1 && !S_ISDIR(status->st_mode);
      const std::string target =
          inStaging ? sessions_[input_.below(sessionCount)].stagingName + "/" + userName(true) : userName(false);
      if (target == chosen) return;
      losing(target);
      if (::rename(from.c_str(), (destination_ + "/" + target).c_str()) != 0) return;
      taint(target);
      std::map<std::string, KeptFile> moved;
      for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->first == target || it->first.starts_with(target + "/")) {
          it = kept_.erase(it);
        } else if (it->first == chosen || it->first.starts_with(chosen + "/")) {
          moved[target + it->first.substr(chosen.size())] = it->second;
          it = kept_.erase(it);
        } else {
          ++it;
        }
      }
      kept_.merge(moved);
      // A file of the helper's the user moved stays the helper's (moved back,
      // the helper may take it as its own again), but is not left behind by
      // the helper where the user put it.
      if (!kept_.contains(target)) placedByUser_.insert(target);
      return;
    }
    if (S_ISDIR(status->st_mode)) {
      if (action == 4 && ::rmdir(from.c_str()) == 0) kept_.erase(chosen);
      return;
    }
    if (action == 2) {
      // Replace it with a file of its own.
      const std::string temporary = root_ + "/replacement";
      REQUIRE_STEP(writeNewFile(temporary, contents, 0600));
      losing(chosen);
      REQUIRE_STEP(::rename(temporary.c_str(), from.c_str()) == 0);
      keepUserFile(chosen);
    } else if (action == 3) {
      // Change it in place (the user may: the file is theirs).
      if (::chmod(from.c_str(), (status->st_mode & 0777) | S_IWUSR) != 0) return;
      {
        const UniqueFd file(::open(from.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (file) REQUIRE_STEP(::write(file.get(), contents.data(), contents.size()) > 0);
      }
      // The changed bytes are the user's, wherever they are seen: under this
      // name when it is the file's only one or already the user's, and under
      // every name of the file the user keeps (a published output changed
      // through the pin its publication left behind; the pin's name stays
      // the helper's to remove).
      if (status->st_nlink == 1 || kept_.contains(chosen)) keepUserFile(chosen);
      std::vector<std::string> sameFile;
      for (const auto& [path, file] : kept_) {
        if (file.inode == status->st_ino && path != chosen) sameFile.push_back(path);
      }
      for (const std::string& path : sameFile) keepUserFile(path);
    } else {
      losing(chosen);
      if (::unlink(from.c_str()) == 0) kept_.erase(chosen);
    }
  }

  // One failing call for the next request: which call, after how many calls
  // of it, with which error, how many times (EINTR only tests the retries).
  void armFault() {
    static constexpr std::array<int, 8> errors = {EIO, ENOSPC, EINVAL, EXDEV, EACCES, EPERM, EINTR, ENOENT};
    const std::size_t call = input_.below(5);
    const int letThrough = static_cast<int>(input_.below(12));
    const int error = errors[input_.below(errors.size())];
    const std::uint8_t repeat = input_.next();
    if (call == 4) {
      testing_support::limitReads(1 + repeat % 7);
      return;
    }
    const int times = repeat >= 0xC0 ? 1 + repeat % 4 : 1;
    testing_support::injectFault(static_cast<SystemCall>(call), error, letThrough, times);
    if (error != EINTR) armedFailures_ += times;
  }

  void requireKeptFiles() const {
    for (const auto& [path, file] : kept_) {
      const std::optional<struct stat> status = lstatPath(destination_ + "/" + path);
      REQUIRE_STEP(status && S_ISREG(status->st_mode) && status->st_ino == file.inode);
      const std::optional<std::string> bytes = readPath(destination_ + "/" + path);
      REQUIRE_STEP(bytes && digestOf(*bytes) == file.sha256);
      if (file.byUser) REQUIRE_STEP((status->st_mode & 07777) == file.mode);
    }
  }

  // No failures armed, the user gone: the parent cleans up every session it
  // prepared; then only published outputs and the user's files may remain.
  void finish() {
    testing_support::clearInjectedFaults();
    armedFailures_ = 0;
    for (Session& session : sessions_) {
      if (session.prepared && lstatPath(stagingPath(session))) cleanup(session, true);
    }
    requireKeptFiles();
    if (severalFailures_) return;
    for (const std::string& path : entries()) {
      const std::size_t slash = path.find('/');
      if (excused_.contains(path.substr(0, slash))) continue;
      if (kept_.contains(path) || placedByUser_.contains(path)) continue;
      std::fprintf(stderr, "left behind: %s\n", path.c_str());
      std::abort();
    }
  }

  Input input_;
  std::string root_;
  std::string destination_;
  UniqueFd destinationFd_;
  UniqueFd sourceFd_;
  std::array<Session, sessionCount> sessions_;
  std::map<std::string, KeptFile> kept_;
  std::set<std::string> excused_;
  // Where the user moved files of the helper's.
  std::set<std::string> placedByUser_;
  // The staging directory each published inode came from.
  std::map<ino_t, std::string> publishedFrom_;
  int armedFailures_ = 0;
  bool severalFailures_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Run(std::span<const std::uint8_t>(data, size)).play();
  return 0;
}
