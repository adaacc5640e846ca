// A real destination directory and a broker on it, shared by the staging tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/exclusive_output_writer.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "tests/file_access/file_test_support.hpp"

namespace quorvantelmic::testing_support {

inline const std::string stagingId = "3f2c7a10-5b4e-4d2a-9c1e-7a8b9c0d1e2f";
inline const std::string stagingName = ".quorvantelmic-stage-00112233445566778899aabbccddeeff";

inline std::string outputName(int index, const char* extension = "png") {
  char hex[33] = {};
  std::snprintf(hex, sizeof hex, "%032x", index);
  return std::string("output-") + hex + "." + extension;
}

inline HelperFault policy(const char* message) { return HelperFault(HelperErrorCode::filesystemPolicy, message); }

template <typename Call>
HelperFault faultOf(const Call& call) {
  try {
    call();
  } catch (const HelperFault& fault) {
    return fault;
  }
  ADD_FAILURE() << "no fault";
  return HelperFault(HelperErrorCode::internalError, "");
}

class StagingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(destination().c_str(), 0700), 0);
    destinationDescriptor_ = openOrThrow(destination(), O_RDONLY | O_DIRECTORY);
  }

  std::string destination() const { return root_ / "destination"; }
  std::string staging() const { return destination() + "/" + stagingName; }
  std::string inStaging(const std::string& name) const { return staging() + "/" + name; }
  StagingBroker broker() const { return StagingBroker(destinationDescriptor_.get()); }
  int destinationDescriptor() const { return destinationDescriptor_.get(); }

  // What the parent does before each request: it holds the destination
  // descriptor and stats it itself.
  ProtocolFileIdentity destinationIdentity() const {
    struct stat status {};
    EXPECT_EQ(::fstat(destinationDescriptor_.get(), &status), 0);
    return FileIdentity::of(status).protocolValue();
  }
  ProtocolFileIdentity currentIdentity(const std::string& path) const { return identityOf(path).protocolValue(); }

  PreparedStaging prepare(const std::vector<std::string>& names) const {
    return broker().prepare("/dev/fd/3", destinationIdentity(), stagingId, stagingName, names);
  }

  // Writes a staged output the way a conversion does: through the exclusive
  // writer on the staging directory as descriptor 4.
  StagedOutputBinding writeOutput(const std::string& name, const std::string& contents) const {
    const UniqueFd stagingDescriptor = openOrThrow(staging(), O_RDONLY | O_DIRECTORY);
    const std::vector<std::uint8_t> bytes = bytesOf(contents);
    const WrittenOutputBinding written =
        ExclusiveOutputWriter(stagingDescriptor.get()).write(bytes, "/dev/fd/4/" + name, {});
    return StagedOutputBinding{name, written.identity.protocolValue(), DescriptorDigest::sha256(bytes)};
  }

  CleanedStaging cleanup(const PreparedStaging& prepared, const std::vector<std::string>& names,
                         const std::vector<StagedOutputBinding>& bindings, const StagingBroker& withBroker) const {
    // Writing outputs changes the staging directory's times; the parent
    // presents its current identity, which it checks against the device and
    // inode returned by preparation.
    const FileIdentity current = identityOf(staging());
    EXPECT_TRUE(current.sameObject(prepared.stagingIdentity));
    return withBroker.cleanup("/dev/fd/3", destinationIdentity(), stagingId, stagingName, current.protocolValue(),
                          prepared.ownerIdentity.protocolValue(), names, bindings);
  }
  CleanedStaging cleanup(const PreparedStaging& prepared, const std::vector<std::string>& names,
                         const std::vector<StagedOutputBinding>& bindings) const {
    return cleanup(prepared, names, bindings, broker());
  }

  TemporaryDirectory root_;
  UniqueFd destinationDescriptor_;
};

// A staging directory whose outputs are published, as the publication
// requests of a parent would name them.
class PublicationFixture : public StagingFixture {
 protected:
  PublishOutputArguments arguments(const PreparedStaging& prepared, const StagedOutputBinding& output,
                                   const std::string& baseName) const {
    const auto extension = parseStagedOutputName(output.outputName);
    return PublishOutputArguments{"/dev/fd/3",
                                  "/Users/me/Pictures",
                                  destinationIdentity(),
                                  stagingName,
                                  stagingId,
                                  currentIdentity(staging()),
                                  prepared.ownerIdentity.protocolValue(),
                                  output.outputName,
                                  output.identity,
                                  output.sha256,
                                  baseName,
                                  std::string(rawValue(*extension))};
  }

  // A prepared staging directory holding one written output.
  std::pair<PreparedStaging, StagedOutputBinding> staged(const std::string& name, const std::string& contents) {
    const PreparedStaging prepared = prepare({name});
    return {prepared, writeOutput(name, contents)};
  }

  PublishOutputSetArguments setArguments(const PreparedStaging& prepared,
                                         const std::vector<std::pair<StagedOutputBinding, std::string>>& members) const {
    PublishOutputSetArguments result{"/dev/fd/3", "/Users/me/Pages", destinationIdentity(), stagingName, stagingId,
                                     currentIdentity(staging()), prepared.ownerIdentity.protocolValue(), {}};
    for (const auto& [output, baseName] : members) {
      result.outputs.push_back(PublishOutputSetMember{output.outputName, output.identity, output.sha256, baseName,
                                                      std::string(rawValue(*parseStagedOutputName(output.outputName)))});
    }
    return result;
  }
};

}  // namespace quorvantelmic::testing_support
