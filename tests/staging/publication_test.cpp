#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "helper_core/staging/publication_broker.hpp"
#include "tests/staging/staging_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace testing_support;

TEST(PublicationNamesTest, BaseNames) {
  for (const std::string& name : {std::string("Holiday"), std::string("Holiday 2024"), std::string("Caf\xC3\xA9"),
                                  std::string("\xE6\x97\x85\xE8\xA1\x8C"), std::string(160, 'b'),
                                  std::string("a.b"), std::string("-x-")}) {
    EXPECT_NO_THROW(PublicationBroker::validateOutputBaseName(name)) << name;
  }
  for (const std::string& name :
       {std::string(""), std::string("Holiday "), std::string(" Holiday"), std::string(".hidden"),
        std::string("trailing."), std::string("."), std::string(".."), std::string("a:b"), std::string("a/b"),
        std::string("evil\xE2\x80\xAEgnp"), std::string("Cafe\xCC\x81"), std::string(161, 'b'),
        std::string("tab\there"), std::string("zero\xE2\x80\x8Bwidth"), std::string("lrm\xE2\x80\x8E"),
        std::string("\xE3\x80\x80wide space"), std::string("bad\xFF"), std::string("Holiday \xCC\x81")}) {
    EXPECT_EQ(faultOf([&] { PublicationBroker::validateOutputBaseName(name); }),
              policy("The output base name is invalid."))
        << name;
  }
}

TEST(PublicationNamesTest, FoldingMakesCaseAccentsAndWidthEqual) {
  EXPECT_EQ(PublicationBroker::foldedName("Scan.pdf"), PublicationBroker::foldedName("scan.pdf"));
  EXPECT_EQ(PublicationBroker::foldedName("R\xC3\xA9sum\xC3\xA9.pdf"), PublicationBroker::foldedName("Resume.pdf"));
  EXPECT_EQ(PublicationBroker::foldedName("\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.png"),  // full-width ABC
            PublicationBroker::foldedName("abc.png"));
  EXPECT_NE(PublicationBroker::foldedName("Scan 1.pdf"), PublicationBroker::foldedName("Scan 2.pdf"));
  EXPECT_NE(PublicationBroker::foldedName("a.png"), PublicationBroker::foldedName("a.jpg"));
}

TEST(PublicationNamesTest, CandidatesAndFinalPaths) {
  EXPECT_EQ(PublicationBroker::candidateName("Holiday", 1, StagedOutputExtension::png), "Holiday.png");
  EXPECT_EQ(PublicationBroker::candidateName("Holiday", 2, StagedOutputExtension::png), "Holiday 2.png");
  EXPECT_EQ(PublicationBroker::candidateName("Archive", 10000, StagedOutputExtension::sevenZip), "Archive 10000.7z");
  EXPECT_EQ(PublicationBroker::joinedFinalPath("/", "a.png"), "/a.png");
  EXPECT_EQ(PublicationBroker::joinedFinalPath("/Users/me/Pictures", "a.png"), "/Users/me/Pictures/a.png");
  const std::string longDirectory = "/" + std::string(4089, 'd');
  EXPECT_EQ(PublicationBroker::joinedFinalPath(longDirectory, "a.png").size(), 4096u);
  EXPECT_EQ(faultOf([&] { (void)PublicationBroker::joinedFinalPath(longDirectory, "ab.png"); }),
            policy("The final output path exceeds the path limit."));
}

TEST(PublicationNamesTest, IdentityComparison) {
  FileIdentity a;
  a.inode = 5;
  FileIdentity b = a;
  b.statusChangedNanoseconds = 1;
  EXPECT_TRUE(PublicationBroker::identitiesMatch(a, b, false));
  EXPECT_FALSE(PublicationBroker::identitiesMatch(a, b, true));
}

using PublicationTest = PublicationFixture;

TEST_F(PublicationTest, PublishesUnderThePlainNameAndRemovesTheStagedLink) {
  const auto [prepared, output] = staged(outputName(1), "holiday picture");
  const auto before = openDescriptors();
  const PublishedOutput published = PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Holiday"));
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(published.displayName, "Holiday.png");
  EXPECT_EQ(published.finalPath, "/Users/me/Pictures/Holiday.png");
  EXPECT_EQ(published.collisionIndex, 1);
  EXPECT_FALSE(published.stagingCleanupPending);
  EXPECT_TRUE(published.directorySyncSupported);

  const std::string path = destination() + "/Holiday.png";
  const struct stat status = lstatOf(path);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(status.st_nlink, 1u);
  EXPECT_EQ(published.committedIdentity, FileIdentity::of(status));
  EXPECT_EQ(FileIdentity::of(status).inode, FileIdentity(output.identity).inode);
  EXPECT_EQ(readFile(path), "holiday picture");
  EXPECT_EQ(entriesOf(destination()), (std::set<std::string>{stagingName, "Holiday.png"}));
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{".owner.json"});
}

TEST_F(PublicationTest, TakesTheNextFreeCollisionIndex) {
  writeFile(destination() + "/Report.pdf", "older report");
  writeFile(destination() + "/Report 2.pdf", "older report 2");
  const auto [prepared, output] = staged(outputName(1, "pdf"), "%PDF new");
  const PublishedOutput published = PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Report"));
  EXPECT_EQ(published.displayName, "Report 3.pdf");
  EXPECT_EQ(published.collisionIndex, 3);
  EXPECT_EQ(readFile(destination() + "/Report.pdf"), "older report");
  EXPECT_EQ(readFile(destination() + "/Report 3.pdf"), "%PDF new");
}

TEST_F(PublicationTest, GivesUpAfter10000NamesAndPutsTheOutputBack) {
  const auto [prepared, output] = staged(outputName(1, "pdf"), "%PDF new");
  writeFile(destination() + "/Report.pdf", "");
  for (int index = 2; index <= 10000; ++index) writeFile(destination() + "/Report " + std::to_string(index) + ".pdf", "");
  EXPECT_EQ(faultOf([&] { (void)PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Report")); }),
            HelperFault(HelperErrorCode::commitExhausted, "No collision-safe destination name remained available."));
  EXPECT_EQ(entriesOf(destination()).size(), 10001u);
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1, "pdf")}));
  EXPECT_EQ(identityOf(inStaging(outputName(1, "pdf"))).inode, FileIdentity(output.identity).inode);
}

TEST_F(PublicationTest, RefusesAStagedOutputTouchedAfterValidation) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  // Only the status-change time moves.
  ASSERT_EQ(::chmod(inStaging(outputName(1)).c_str(), 0400), 0);
  EXPECT_EQ(faultOf([&] { (void)PublicationBroker(destinationDescriptor()).publish(arguments(prepared, output, "Holiday")); }),
            policy("The staged output no longer matches the validated file."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1)}));
}

TEST_F(PublicationTest, RefusesADestinationThatChangedAfterItsIdentityWasRecorded) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  const PublishOutputArguments request = arguments(prepared, output, "Holiday");
  writeFile(destination() + "/other.txt", "");
  EXPECT_EQ(faultOf([&] { (void)PublicationBroker(destinationDescriptor()).publish(request); }),
            policy("The inherited destination identity changed."));
  EXPECT_FALSE(exists(destination() + "/Holiday.png"));
}

TEST_F(PublicationTest, ChecksArgumentsBeforeOpeningAnything) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  const PublicationBroker broker(-1);  // nothing could be opened anyway
  PublishOutputArguments request = arguments(prepared, output, "Holiday");
  request.outputExtension = "jpg";
  EXPECT_EQ(faultOf([&] { (void)broker.publish(request); }),
            HelperFault(HelperErrorCode::invalidRequest, "The output extension is not recognized."));
  request = arguments(prepared, output, "Holiday ");
  EXPECT_EQ(faultOf([&] { (void)broker.publish(request); }), policy("The output base name is invalid."));
  request = arguments(prepared, output, "Holiday");
  request.outputIdentity.device = "1";
  EXPECT_EQ(faultOf([&] { (void)broker.publish(request); }),
            policy("The publication identities do not satisfy the same-volume policy."));
  request = arguments(prepared, output, "Holiday");
  request.destinationPath = "/dev/fd/4";
  EXPECT_EQ(faultOf([&] { (void)broker.publish(request); }),
            policy("Publication requires the inherited destination descriptor."));
}

TEST_F(PublicationTest, RollsBackExactlyWhenTheOutputChangesAfterLinking) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  const std::string extra = root_ / "extra-link";
  const PublicationBroker broker(destinationDescriptor(), [&](PublicationPhase phase, BorrowedFd, std::string_view name) {
    if (phase == PublicationPhase::linked) {
      ASSERT_EQ(::link((destination() + "/" + std::string(name)).c_str(), extra.c_str()), 0);
    }
  });
  EXPECT_EQ(faultOf([&] { (void)broker.publish(arguments(prepared, output, "Holiday")); }),
            policy("The staged output changed during publication."));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{stagingName});
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1)}));
  EXPECT_EQ(lstatOf(inStaging(outputName(1))).st_mode & 07777, 0400u);
}

TEST_F(PublicationTest, NeverReportsAForeignFileAsItsPublication) {
  const auto [prepared, output] = staged(outputName(1), "picture");
  writeFile(root_ / "foreign", "picture");
  const PublicationBroker broker(destinationDescriptor(), [&](PublicationPhase phase, BorrowedFd, std::string_view name) {
    if (phase == PublicationPhase::linked) {
      ASSERT_EQ(::rename((root_ / "foreign").c_str(), (destination() + "/" + std::string(name)).c_str()), 0);
    }
  });
  EXPECT_EQ(faultOf([&] { (void)broker.publish(arguments(prepared, output, "Holiday")); }),
            policy("The committed output identity does not match validation."));
  // The foreign file stays where it was put; the output is back in staging.
  EXPECT_NE(identityOf(destination() + "/Holiday.png").inode, FileIdentity(output.identity).inode);
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1)}));
}

TEST_F(PublicationTest, NeverRemovesTheOnlyNameOfACommittedOutput) {
  // After the commit point another process of the same user deletes the
  // staged pin and makes the published file readable by others, so the final
  // check fails: the published name is then the file's only name and stays.
  const auto [prepared, output] = staged(outputName(1), "picture");
  const PublicationBroker broker(destinationDescriptor(), [&](PublicationPhase phase, BorrowedFd, std::string_view name) {
    if (phase != PublicationPhase::synchronized) return;
    for (const std::string& entry : entriesOf(staging())) {
      if (entry.rfind(".quorvantelmic-publish-", 0) == 0) {
        ASSERT_EQ(::unlink(inStaging(entry).c_str()), 0);
      }
    }
    ASSERT_EQ(::chmod((destination() + "/" + std::string(name)).c_str(), 0644), 0);
  });
  EXPECT_THROW((void)broker.publish(arguments(prepared, output, "Holiday")), HelperFault);
  EXPECT_EQ(readFile(destination() + "/Holiday.png"), "picture");
}

TEST_F(PublicationTest, RemoveEntryIfStillOwnedDeclinesWhatIsNotOurs) {
  writeFile(destination() + "/mine", "bytes");
  const FileIdentity mine = identityOf(destination() + "/mine");
  const std::string digest = DescriptorDigest::sha256(bytesOf("bytes"));
  const BorrowedFd directory(destinationDescriptor());
  EXPECT_FALSE(PublicationBroker::removeEntryIfStillOwned(directory, "missing", mine, digest));
  writeFile(destination() + "/other", "bytes");
  EXPECT_FALSE(PublicationBroker::removeEntryIfStillOwned(directory, "other", mine, digest));
  EXPECT_FALSE(PublicationBroker::removeEntryIfStillOwned(directory, "mine", mine, std::string(64, '0')));
  EXPECT_EQ(entriesOf(destination()), (std::set<std::string>{"mine", "other"}));
  EXPECT_TRUE(PublicationBroker::removeEntryIfStillOwned(directory, "mine", mine, digest));
  EXPECT_EQ(entriesOf(destination()), std::set<std::string>{"other"});
}

TEST_F(PublicationTest, PublishesASetUnderOneSharedIndex) {
  const std::vector<std::string> names{outputName(1), outputName(2)};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding page = writeOutput(names[0], "page");
  const StagedOutputBinding cover = writeOutput(names[1], "cover");
  writeFile(destination() + "/Page.png", "older page");
  const PublishedOutputSet published =
      PublicationBroker(destinationDescriptor()).publishSet(setArguments(prepared, {{page, "Page"}, {cover, "Cover"}}));
  EXPECT_EQ(published.collisionIndex, 2);
  ASSERT_EQ(published.publishedOutputs.size(), 2u);
  EXPECT_EQ(published.publishedOutputs[0].displayName, "Page 2.png");
  EXPECT_EQ(published.publishedOutputs[0].finalPath, "/Users/me/Pages/Page 2.png");
  EXPECT_EQ(published.publishedOutputs[1].displayName, "Cover 2.png");
  EXPECT_EQ(published.publishedOutputs[1].committedIdentity, identityOf(destination() + "/Cover 2.png"));
  EXPECT_FALSE(published.stagingCleanupPending);
  EXPECT_EQ(readFile(destination() + "/Cover 2.png"), "cover");
  EXPECT_EQ(lstatOf(destination() + "/Cover 2.png").st_mode & 07777, 0600u);
  EXPECT_EQ(entriesOf(staging()), std::set<std::string>{".owner.json"});
  EXPECT_FALSE(exists(destination() + "/Cover.png"));
}

TEST_F(PublicationTest, RefusesSetMembersWhoseNamesDifferOnlyInCaseAccentsOrWidth) {
  const std::vector<std::string> names{outputName(1, "pdf"), outputName(2, "pdf")};
  const PreparedStaging prepared = prepare(names);
  const StagedOutputBinding a = writeOutput(names[0], "a");
  const StagedOutputBinding b = writeOutput(names[1], "b");
  for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
           {"Scan", "scan"}, {"R\xC3\xA9sum\xC3\xA9", "Resume"}, {"\xEF\xBC\xA1", "A"}}) {
    EXPECT_EQ(faultOf([&] {
                (void)PublicationBroker(destinationDescriptor()).publishSet(setArguments(prepared, {{a, first}, {b, second}}));
              }),
              HelperFault(HelperErrorCode::invalidRequest, "The publication output names are not distinct."))
        << first;
  }
  // Members in another order than at preparation do not match the record.
  EXPECT_EQ(faultOf([&] {
              (void)PublicationBroker(destinationDescriptor()).publishSet(setArguments(prepared, {{b, "B"}, {a, "A"}}));
            }),
            policy("The staging ownership record changed."));
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", names[0], names[1]}));
}

TEST_F(PublicationTest, ANameTakenBetweenCheckAndLinkMovesTheWholeSetOn) {
  std::vector<std::string> names;
  std::vector<std::pair<StagedOutputBinding, std::string>> members;
  for (int index = 1; index <= 4; ++index) names.push_back(outputName(index));
  const PreparedStaging prepared = prepare(names);
  for (int index = 0; index < 4; ++index) {
    members.emplace_back(writeOutput(names[index], "page " + std::to_string(index)), "Page" + std::to_string(index));
  }
  bool intruded = false;
  const PublicationBroker broker(destinationDescriptor(), {}, [&](BorrowedFd, std::string_view name) {
    if (!intruded && name == "Page2.png") {
      intruded = true;
      writeFile(destination() + "/Page2.png", "someone else");
    }
  });
  const PublishedOutputSet published = broker.publishSet(setArguments(prepared, members));
  EXPECT_EQ(published.collisionIndex, 2);
  EXPECT_EQ(entriesOf(destination()), (std::set<std::string>{stagingName, "Page2.png", "Page0 2.png", "Page1 2.png",
                                                              "Page2 2.png", "Page3 2.png"}));
  EXPECT_EQ(readFile(destination() + "/Page2.png"), "someone else");
  EXPECT_EQ(readFile(destination() + "/Page3 2.png"), "page 3");
}

TEST_F(PublicationTest, APartialSetThatCannotBeRolledBackIsReported) {
  const std::vector<std::string> names{outputName(1), outputName(2), outputName(3)};
  const PreparedStaging prepared = prepare(names);
  std::vector<std::pair<StagedOutputBinding, std::string>> members;
  for (int index = 0; index < 3; ++index) members.emplace_back(writeOutput(names[index], "p" + std::to_string(index)), "P" + std::to_string(index));
  const PublicationBroker broker(destinationDescriptor(), {}, [&](BorrowedFd, std::string_view name) {
    if (name != "P2.png") return;
    // Someone moves the second member's published name away and takes the third.
    ASSERT_EQ(::rename((destination() + "/P1.png").c_str(), (root_ / "moved").c_str()), 0);
    writeFile(destination() + "/P2.png", "taken");
  });
  EXPECT_EQ(faultOf([&] { (void)broker.publishSet(setArguments(prepared, members)); }),
            policy("A partial publication set could not be rolled back exactly."));
  EXPECT_EQ(entriesOf(destination()), (std::set<std::string>{stagingName, "P2.png"}));
  // Every staged member is back under its own name.
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", names[0], names[1], names[2]}));
}

}  // namespace
}  // namespace quorvantelmic
