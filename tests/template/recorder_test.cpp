// The SAX recorder and the chunk cursor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "template_reader.h"
#include "temp_file.h"

namespace {

// One token per chunk: DS, DE, S:name, E, T:text.
std::string describe(const std::vector<Chunk>& chunks) {
    std::string out;
    for (const Chunk& c : chunks) {
        if (!out.empty()) out += " | ";
        switch (c.event) {
        case onDocStart: out += "DS"; break;
        case onDocEnd: out += "DE"; break;
        case onElementStart: out += "S:" + c.element.name; break;
        case onElementEnd: out += "E" + c.element.name; break;
        case onText: out += "T:" + c.text; break;
        }
    }
    return out;
}

std::vector<Chunk> record(const std::string& xml) {
    TempFile file(xml);
    kelSaxParser parser;
    parser.set_substitute_entities(true);
    parser.parse_file(file.path());
    std::vector<Chunk> chunks;
    for (std::size_t i = 0; i < parser.chunks.size(); ++i) chunks.push_back(parser.chunks[i]);
    return chunks;
}

TEST(Recorder, ChunkSequencesOfSmallDocuments) {
    struct Case {
        const char* name;
        const char* xml;
        const char* chunks;
    };
    const Case cases[] = {
        {"blank indentation gives no text", "<r>\n  <c>word</c>\n</r>\n", "DS | S:r | S:c | T:word | E | E | DE"},
        {"tab indentation is text", "<r>\n\t<c>word</c>\n</r>\n", "DS | S:r | T:\n\t | S:c | T:word | E | E | DE"},
        {"empty element tag", "<r><c/></r>", "DS | S:r | S:c | E | E | DE"},
        {"comment is text", "<r><!-- note --></r>", "DS | S:r | T: note  | E | DE"},
        {"empty comment is empty text", "<r><!----></r>", "DS | S:r | T: | E | DE"},
        {"CDATA leaves nothing", "<r><![CDATA[data]]></r>", "DS | S:r | E | DE"},
        {"CRLF line ends are layout", "<r>\r\n  <c/>\r\n</r>", "DS | S:r | S:c | E | E | DE"},
        {"escaped carriage return is text", "<r>&#13;</r>", "DS | S:r | T:\r | E | DE"},
        {"entity splits a run into parts", "<r>a&amp;b</r>", "DS | S:r | T:a | T:& | T:b | E | DE"},
        {"comment after root is recorded", "<r/><!--x-->", "DS | S:r | E | T:x | DE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.chunks, describe(record(c.xml)));
    }
}

TEST(Recorder, AttributesInDocumentOrderWithEntitiesReplaced) {
    const std::vector<Chunk> chunks = record("<r z=\"1\" a=\"x &amp; y\" m=\"&lt;3\"/>");
    ASSERT_EQ(4u, chunks.size());
    const auto& attributes = chunks[1].element.attributes;
    ASSERT_EQ(3u, attributes.size());
    EXPECT_EQ("z", attributes[0].first);
    EXPECT_EQ("1", attributes[0].second);
    EXPECT_EQ("a", attributes[1].first);
    EXPECT_EQ("x & y", attributes[1].second);
    EXPECT_EQ("m", attributes[2].first);
    EXPECT_EQ("<3", attributes[2].second);
    EXPECT_TRUE(chunks[2].element.attributes.empty());
}

TEST(Recorder, ParserMessagesGoToStandardOutputByLevel) {
    struct Case {
        const char* name;
        const char* xml;
        const char* expected;  // the start of the first message line
    };
    const Case cases[] = {
        // libxml2 sends these through its error callback; their level is fatal.
        {"mismatched end tag", "<r>\n<c>\n</r>\n", "on_fatal_error(): Opening and ending tag mismatch: c line "},
        {"missing end tag", "<r>\n<c/>\n", "on_fatal_error(): Premature end of data in tag r line 1\n"},
        {"undeclared entity, no other declarations", "<!DOCTYPE r [ <!ENTITY a \"b\"> ]>\n<r>&z;</r>\n",
         "on_fatal_error(): Entity 'z' not defined\n"},
        // With an external subset (never read) it might be declared there:
        // libxml2 makes this an error that is not fatal.
        {"undeclared entity, external subset", "<!DOCTYPE r SYSTEM \"r.dtd\">\n<r>&z;</r>\n",
         "on_error(): Entity 'z' not defined\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.xml);
        kelSaxParser parser;
        parser.set_substitute_entities(true);
        testing::internal::CaptureStdout();
        try {
            parser.parse_file(file.path());
        } catch (const xmlpp::exception&) {
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0u, out.find(c.expected)) << out;
    }
}

TEST(ChunkSequence, GivesBackEveryChunkAsStored) {
    std::vector<Chunk> stored;
    Chunk c;
    c.event = onDocStart;
    stored.push_back(c);
    c.event = onElementStart;
    c.element.name = "tor";
    c.element.attributes = {{"__type__", "allocator"}, {"name", std::string(300, 'n')}, {"", ""},
                            {"v", std::string("a\0b", 3)}};
    c.line = 200000;  // a line number of three varint bytes
    stored.push_back(c);
    c = Chunk();
    c.event = onText;
    c.text = std::string(70000, 't');  // a length of three varint bytes
    stored.push_back(c);
    c.text = "";
    stored.push_back(c);
    c = Chunk();
    c.event = onElementEnd;
    stored.push_back(c);
    // Fields a recorder never sets together still come back.
    c.event = onDocEnd;
    c.element.name = "x";
    c.text = "y";
    stored.push_back(c);

    ChunkSequence sequence;
    EXPECT_TRUE(sequence.empty());
    for (const Chunk& s : stored) sequence.push_back(s);
    ASSERT_EQ(stored.size(), sequence.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        SCOPED_TRACE(i);
        const Chunk got = sequence[i];
        EXPECT_EQ(stored[i].event, got.event);
        EXPECT_EQ(stored[i].element.name, got.element.name);
        EXPECT_EQ(stored[i].element.attributes, got.element.attributes);
        EXPECT_EQ(stored[i].text, got.text);
        EXPECT_EQ(stored[i].line, got.line);
    }
    sequence.clear();
    EXPECT_EQ(0u, sequence.size());
}

ChunkList listOf(const std::vector<ChunkEvent>& events) {
    ChunkList list;
    for (ChunkEvent e : events) {
        Chunk c;
        c.event = e;
        if (e == onText) c.text = "t";
        list.chunks.push_back(c);
    }
    list.length = list.chunks.size();
    return list;
}

TEST(Cursor, GetPutBackAndPeekPrev) {
    ChunkList list = listOf({onDocStart, onElementStart, onDocEnd});
    EXPECT_EQ(onDocStart, list.getChunk().event);
    EXPECT_EQ(onElementStart, list.getChunk().event);
    EXPECT_EQ(2u, list.index);
    EXPECT_EQ(onElementStart, list.peekPrev().event);
    EXPECT_EQ(2u, list.index);
    list.putChunkBack();
    EXPECT_EQ(1u, list.index);
    EXPECT_EQ(onElementStart, list.getChunk().event);
    EXPECT_EQ(3u, list.length);
}

TEST(Cursor, SkipAndGetNonText) {
    ChunkList list = listOf({onElementStart, onText, onText, onElementEnd, onDocEnd});
    list.skipTextChunks();
    EXPECT_EQ(0u, list.index) << "a non-text chunk at the cursor stays";
    list.getChunk();
    list.skipTextChunks();
    EXPECT_EQ(3u, list.index) << "two text chunks skipped";
    list.index = 1;
    EXPECT_EQ(onElementEnd, list.getNonTextChunk().event);
    EXPECT_EQ(4u, list.index);
}

TEST(CursorDeathTest, PreconditionsStopTheProgram) {
    ChunkList list = listOf({onDocStart});
    list.getChunk();
    EXPECT_DEATH(list.getChunk(), "getChunk: Assertion 'i < l' failed");
    ChunkList fresh = listOf({onDocStart});
    EXPECT_DEATH(fresh.putChunkBack(), "putChunkBack: Assertion 'i > 0' failed");
    EXPECT_DEATH(fresh.peekPrev(), "peekPrev: Assertion 'i > 0' failed");
}

}  // namespace
