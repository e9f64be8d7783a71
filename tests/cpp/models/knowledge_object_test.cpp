#include "models/knowledge_object.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "models/timestamp.hpp"
#include "models/uuid.hpp"

namespace revuradova {
namespace {

KnowledgeObject sample(std::string content = "body") {
    return KnowledgeObject::create(SourceType::Pdf, "docs/a.pdf", KnowledgeType::Policy, "hr",
                                   std::move(content));
}

TEST(KnowledgeObject, ConstructionFillsDefaults) {
    const KnowledgeObject object = sample();
    EXPECT_EQ(object.source_type, SourceType::Pdf);
    EXPECT_EQ(object.knowledge_type, KnowledgeType::Policy);
    EXPECT_EQ(object.source_location, "docs/a.pdf");
    EXPECT_EQ(object.domain, "hr");
    EXPECT_EQ(object.content, "body");
    EXPECT_EQ(object.created_at, object.updated_at);
    EXPECT_EQ(object.created_at, object.ingested_at);
    EXPECT_EQ(object.created_at, object.accessed_at);
    EXPECT_FALSE(object.reviewed_at);
    EXPECT_FALSE(object.valid_from);
    EXPECT_FALSE(object.valid_until);
    EXPECT_FALSE(object.note);
    EXPECT_EQ(object.version, 1u);
    EXPECT_TRUE(object.entities.empty());
    EXPECT_TRUE(object.relationships.empty());
    EXPECT_TRUE(object.scored_terms.empty());
    EXPECT_TRUE(object.tags.empty());
    EXPECT_TRUE(object.metadata.empty());
    EXPECT_TRUE(object.structure.table_of_contents.empty());
    EXPECT_TRUE(object.structure.sections.empty());
    EXPECT_TRUE(object.structure.headings.empty());
    EXPECT_TRUE(object.structure.labels.empty());
    EXPECT_TRUE(object.structure.extra_sections.empty());
    EXPECT_TRUE(object.structure.attributes.empty());
}

TEST(KnowledgeObject, IdentifiersAreFreshVersion4Uuids) {
    const std::regex shape(
        "ko_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const KnowledgeObject object = sample();
        ASSERT_EQ(object.id.size(), 39u);
        ASSERT_TRUE(std::regex_match(object.id, shape)) << object.id;
        seen.insert(object.id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(KnowledgeObject, EmptyContentIsAccepted) { EXPECT_EQ(sample("").content, ""); }

TEST(KnowledgeObject, DeepCopyIsIndependent) {
    KnowledgeObject original = sample();
    Section section;
    section.title = "intro";
    section.subsections.emplace_back(Section{"s1", "child", 2, "text", {}, 1.0});
    original.structure.sections.push_back(section);
    original.tags.push_back("tag");

    KnowledgeObject copy = original;
    EXPECT_EQ(copy.id, original.id);
    EXPECT_EQ(copy.created_at, original.created_at);
    EXPECT_EQ(copy.content, original.content);

    copy.structure.sections[0].subsections[0]->title = "changed";
    copy.tags[0] = "other";
    EXPECT_EQ(original.structure.sections[0].subsections[0]->title, "child");
    EXPECT_EQ(original.tags[0], "tag");
}

TEST(KnowledgeObject, TypeTextsAreExact) {
    EXPECT_EQ(parse_source_type("pdf"), SourceType::Pdf);
    EXPECT_EQ(parse_source_type("local_file"), SourceType::LocalFile);
    EXPECT_EQ(parse_source_type("html"), SourceType::Html);
    for (const char* wrong : {"PDF", "Pdf", " pdf", "pdf ", "local-file", "localfile", ""}) {
        EXPECT_FALSE(parse_source_type(wrong)) << wrong;
    }
    EXPECT_EQ(parse_knowledge_type("procedure"), KnowledgeType::Procedure);
    EXPECT_EQ(parse_knowledge_type("reference"), KnowledgeType::Reference);
    EXPECT_EQ(static_cast<int>(KnowledgeType::Reference), 6);
    for (const char* wrong : {"Procedure", "procedures", "PROCEDURE", ""}) {
        EXPECT_FALSE(parse_knowledge_type(wrong)) << wrong;
    }
    EXPECT_EQ(source_type_name(SourceType::Markdown), "markdown");
    EXPECT_EQ(knowledge_type_name(KnowledgeType::Discussion), "discussion");
}

TEST(UtcTimestamp, CalendarConversionAndOrder) {
    const UtcTimestamp epoch = UtcTimestamp::from_unix(0, 0);
    EXPECT_EQ(epoch.year, 1970);
    EXPECT_EQ(epoch.month, 1);
    EXPECT_EQ(epoch.day, 1);
    // 2024-02-29 12:34:56 UTC, a leap day.
    const UtcTimestamp leap = UtcTimestamp::from_unix(1'709'210'096, 7);
    EXPECT_EQ(leap.year, 2024);
    EXPECT_EQ(leap.month, 2);
    EXPECT_EQ(leap.day, 29);
    EXPECT_EQ(leap.seconds_of_day, 12u * 3600 + 34 * 60 + 56);
    EXPECT_EQ(leap.nanoseconds, 7u);
    EXPECT_EQ(leap.unix_seconds(), 1'709'210'096);

    // Later date wins even with an earlier time of day; nanoseconds break the last tie.
    EXPECT_LT(UtcTimestamp::from_unix(86'399, 999), UtcTimestamp::from_unix(86'400, 0));
    EXPECT_LT(UtcTimestamp::from_unix(100, 1), UtcTimestamp::from_unix(100, 2));
    EXPECT_LT(UtcTimestamp::from_unix(1'709'210'096, 0), UtcTimestamp::now());
}

TEST(UtcTimestamp, BeforeEpochIsAnError) {
    EXPECT_THROW(UtcTimestamp::from_unix(-1, 0), ClockBeforeEpochError);
}

TEST(Uuid, FormatForcesVersionAndVariant) {
    std::array<std::uint8_t, 16> bytes;
    bytes.fill(0xFF);
    EXPECT_EQ(format_uuid_v4(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    bytes.fill(0x00);
    EXPECT_EQ(format_uuid_v4(bytes), "00000000-0000-4000-8000-000000000000");
    const auto counting = [](std::uint8_t* out, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 17);
    };
    EXPECT_EQ(uuid_v4(counting, "ko_"), "ko_00112233-4455-4677-8899-aabbccddeeff");
    EXPECT_EQ(uuid_v4(counting), "00112233-4455-4677-8899-aabbccddeeff");
}

TEST(Uuid, FailingSourceThrowsWithErrno) {
    auto failing = [](std::uint8_t*, std::size_t) { throw RandomSourceError(ENOSYS); };
    try {
        uuid_v4(failing);
        FAIL() << "expected RandomSourceError";
    } catch (const RandomSourceError& error) {
        EXPECT_EQ(error.code().value(), ENOSYS);
    }
}

// Identifiers come from a buffer of system randomness: a forked child must not hand out
// what its parent had buffered, and neither may repeat itself across refills.
TEST(Uuid, ForkedChildDrawsItsOwnBytes) {
    std::set<std::string> parent;
    parent.insert(uuid_v4());  // the buffer now holds bytes for the next identifiers
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = uuid_v4();
        _exit(write(pipe_ends[1], id.data(), id.size()) == 36 ? 0 : 1);
    }
    close(pipe_ends[1]);
    for (int i = 0; i < 100; ++i) parent.insert(uuid_v4());  // past several refills
    EXPECT_EQ(parent.size(), 101u);
    char text[36];
    ASSERT_EQ(read(pipe_ends[0], text, sizeof text), 36);
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(parent.count(std::string(text, sizeof text)), 0u);
}

}  // namespace
}  // namespace revuradova
