// Tests of the XML element tree: layout of the pretty writer, escaping, sibling order,
// attribute replacement and ownership, document defaults and release of large trees.
#include "xml/xmltree.hpp"

#include "base/glog.hpp"
#include "support/log_capture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct tree_deleter {
    void operator()(xmltree *t) const { xmltree_free(t); }
};
using tree_ptr = std::unique_ptr<xmltree, tree_deleter>;

std::string to_text(const xmltree *t) {
    char *text = xmltree_toxml_beautify(t);
    if (text == nullptr) {
        return "<null>";
    }
    std::string s = text;
    std::free(text);
    return s;
}

// Sets an attribute the way the translator does: both texts freshly duplicated and handed over.
xmltree *set_owned(xmltree *t, const char *name, const char *value) {
    return xmltree_set_attr(xmltree_set_flag(t, XMLTREE_HANDOVER), strdup(name),
                            value != nullptr ? strdup(value) : nullptr);
}

std::string marks_of(const xmltree *t) {
    std::size_t n = 0;
    while (t->attr[2 * n] != nullptr) {
        ++n;
    }
    return n == 0 ? std::string() : std::string(t->attr[2 * n + 1]);
}

std::vector<std::string> attr_names(const xmltree *t) {
    std::vector<std::string> names;
    for (std::size_t i = 0; t->attr[2 * i] != nullptr; ++i) {
        names.emplace_back(std::string(t->attr[2 * i]) + "=" + t->attr[2 * i + 1]);
    }
    return names;
}

} // namespace

TEST(XmlTree, WriterLayout) {
    struct row {
        const char *name;
        std::function<xmltree *()> build;
        const char *expected;
    };
    const row rows[] = {
        {"lone root", [] { return xmltree_new("dds"); }, "<dds/>\n"},
        {"empty document",
         [] {
             xmltree *dds = xmltree_new("dds");
             set_owned(dds, "xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
             set_owned(dds, "xmlns", "http://www.omg.org/spec/DDS-XML");
             (void)xmltree_add_child(dds, "types", 0);
             return dds;
         },
         "<dds xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns=\"http://www.omg.org/spec/DDS-XML\">\n"
         "    <types/>\n"
         "</dds>\n"},
        {"struct in types",
         [] {
             xmltree *dds = xmltree_new("dds");
             set_owned(dds, "a", "1");
             set_owned(dds, "b", "2");
             xmltree *types = xmltree_add_child(dds, "types", 0);
             set_owned(xmltree_add_child(types, "struct", 0), "name", "S");
             return dds;
         },
         "<dds a=\"1\" b=\"2\">\n"
         "    <types>\n"
         "        <struct name=\"S\"/>\n"
         "    </types>\n"
         "</dds>\n"},
        {"depth three with siblings",
         [] {
             xmltree *dds = xmltree_new("dds");
             xmltree *types = xmltree_add_child(dds, "types", 0);
             xmltree *m = xmltree_add_child(types, "module", 0);
             xmltree *s = xmltree_add_child(m, "struct", 0);
             (void)xmltree_add_child(s, "member", 0);
             (void)xmltree_add_child(s, "member", 0);
             (void)xmltree_add_child(m, "enum", 0);
             (void)xmltree_add_child(types, "const", 0);
             return dds;
         },
         "<dds>\n"
         "    <types>\n"
         "        <module>\n"
         "            <struct>\n"
         "                <member/>\n"
         "                <member/>\n"
         "            </struct>\n"
         "            <enum/>\n"
         "        </module>\n"
         "        <const/>\n"
         "    </types>\n"
         "</dds>\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        tree_ptr t{r.build()};
        EXPECT_EQ(r.expected, to_text(t.get()));
    }
}

TEST(XmlTree, WriterEdgeInputs) {
    EXPECT_EQ("", to_text(nullptr));
    xmltree *nameless = xmltree_new(nullptr);
    EXPECT_EQ("", to_text(nameless));
    xmltree_free(nameless);
    xmltree_free(nullptr);
}

TEST(XmlTree, SubtreeIsWrittenAloneAndTreeIsUnchanged) {
    tree_ptr dds{xmltree_new("dds")};
    xmltree *types = xmltree_add_child(dds.get(), "types", 0);
    xmltree *first = xmltree_add_child(types, "struct", 0);
    set_owned(first, "name", "A");
    (void)xmltree_add_child(first, "member", 0);
    (void)xmltree_add_child(types, "struct", 0);
    const std::string before = to_text(dds.get());

    EXPECT_EQ("<struct name=\"A\">\n    <member/>\n</struct>\n", to_text(first));
    EXPECT_EQ(before, to_text(dds.get()));
    EXPECT_EQ(types, first->parent);
}

TEST(XmlTree, Escaping) {
    struct row {
        const char *in;
        const char *attribute;
        const char *text;
    };
    const row rows[] = {
        {"plain", "plain", "plain"},
        {"a<b&c>d", "a&lt;b&amp;c&gt;d", "a&lt;b&amp;c&gt;d"},
        {"q\"t\tn\nr\r", "q&quot;t&#x9;n&#xA;r&#xD;", "q\"t\tn\nr&#xD;"},
        {"it's", "it's", "it's"},
        {"\xc3\xa9\xff", "\xc3\xa9\xff", "\xc3\xa9\xff"},
        {"", "", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        tree_ptr t{xmltree_new("e")};
        set_owned(t.get(), "v", r.in);
        EXPECT_EQ(std::string("<e v=\"") + r.attribute + "\"/>\n", to_text(t.get()));

        // Character content of a childless element follows its line in text mode.
        tree_ptr c{xmltree_new("e")};
        c->txt = const_cast<char *>(r.in);
        EXPECT_EQ(std::string("<e/>\n") + r.text, to_text(c.get()));
    }
}

TEST(XmlTree, ChildrenKeepInsertionOrderAndGroupByName) {
    tree_ptr root{xmltree_new("r")};
    const char *names[] = {"a", "b", "a", "c", "b", "a"};
    std::vector<xmltree *> kids;
    for (const char *n : names) {
        kids.push_back(xmltree_add_child(root.get(), n, 0));
    }
    EXPECT_EQ("<r>\n    <a/>\n    <b/>\n    <a/>\n    <c/>\n    <b/>\n    <a/>\n</r>\n",
              to_text(root.get()));

    // Document order follows the ordered links.
    std::vector<xmltree *> order;
    for (xmltree *k = root->child; k != nullptr; k = k->ordered) {
        order.push_back(k);
    }
    EXPECT_EQ(kids, order);
    // Group heads a, b, c in first-seen order; each group chains its later members.
    EXPECT_EQ(kids[0], root->child);
    EXPECT_EQ(kids[1], kids[0]->sibling);
    EXPECT_EQ(kids[3], kids[1]->sibling);
    EXPECT_EQ(nullptr, kids[3]->sibling);
    EXPECT_EQ(kids[2], kids[0]->next);
    EXPECT_EQ(kids[5], kids[2]->next);
    EXPECT_EQ(kids[4], kids[1]->next);
    EXPECT_EQ(nullptr, kids[2]->sibling);
}

TEST(XmlTree, OffsetsOrderSiblings) {
    tree_ptr root{xmltree_new("r")};
    xmltree *b5 = xmltree_add_child(root.get(), "b", 5);
    xmltree *a1 = xmltree_add_child(root.get(), "a", 1);
    xmltree *b3 = xmltree_add_child(root.get(), "b", 3);
    xmltree *a1bis = xmltree_add_child(root.get(), "a", 1);
    xmltree *b0 = xmltree_add_child(root.get(), "b", 0);

    std::vector<xmltree *> order;
    for (xmltree *k = root->child; k != nullptr; k = k->ordered) {
        order.push_back(k);
    }
    EXPECT_EQ((std::vector<xmltree *>{b0, a1, a1bis, b3, b5}), order);
    // b0 took over the b group, whose head had a larger offset, and leads the chain of heads.
    EXPECT_EQ(b0, root->child);
    EXPECT_EQ(b3, b0->next);
    EXPECT_EQ(b5, b3->next);
    EXPECT_EQ(a1, b0->sibling);
    EXPECT_EQ(a1bis, a1->next);
    EXPECT_EQ(nullptr, a1->sibling);
    EXPECT_EQ(nullptr, b3->sibling);
    EXPECT_EQ(nullptr, b5->sibling);
}

TEST(XmlTree, AttributeReplaceRemoveAndOwnership) {
    tree_ptr t{xmltree_new("e")};
    static char borrowed_name[] = "kind";
    static char borrowed_value[] = "plain";
    ASSERT_EQ(t.get(), set_owned(t.get(), "name", "first"));
    ASSERT_EQ(t.get(), xmltree_set_attr(t.get(), borrowed_name, borrowed_value));
    ASSERT_EQ(t.get(), set_owned(t.get(), "type", "int32"));
    EXPECT_EQ("\xc0 \xc0", marks_of(t.get()));
    EXPECT_EQ(0, t->flags & XMLTREE_HANDOVER);

    // Replacement keeps the position; an owned value is released (checked by the sanitizers).
    ASSERT_EQ(t.get(), set_owned(t.get(), "name", "second"));
    EXPECT_EQ((std::vector<std::string>{"name=second", "kind=plain", "type=int32"}),
              attr_names(t.get()));
    // A borrowed value over an owned one: the mark loses its value bit, keeps the name bit.
    static char other[] = "other";
    ASSERT_EQ(t.get(), xmltree_set_attr(t.get(), "name", other));
    EXPECT_EQ("\x80 \xc0", marks_of(t.get()));
    // A handed-over value over a borrowed pair: the tree now owns the value only.
    ASSERT_EQ(t.get(), set_owned(t.get(), "kind", "owned"));
    EXPECT_EQ(std::string("\x80") + "\x40" + "\xc0", marks_of(t.get()));
    EXPECT_STREQ("owned", xmltree_attr(t.get(), "kind"));
    EXPECT_EQ(borrowed_name, t->attr[2]);

    // Removing a missing attribute changes nothing; removing closes the gap in pairs and marks.
    ASSERT_EQ(t.get(), xmltree_set_attr(t.get(), "absent", nullptr));
    ASSERT_EQ(t.get(), set_owned(t.get(), "kind", nullptr));
    EXPECT_EQ((std::vector<std::string>{"name=other", "type=int32"}), attr_names(t.get()));
    EXPECT_EQ("\x80\xc0", marks_of(t.get()));
    EXPECT_EQ(nullptr, xmltree_attr(t.get(), "kind"));
    EXPECT_EQ("<e name=\"other\" type=\"int32\"/>\n", to_text(t.get()));

    ASSERT_EQ(t.get(), xmltree_set_attr(t.get(), "name", nullptr));
    ASSERT_EQ(t.get(), xmltree_set_attr(t.get(), "type", nullptr));
    EXPECT_EQ(XMLTREE_NIL, t->attr);
    EXPECT_EQ("<e/>\n", to_text(t.get()));
    // The shared empty list is never written to.
    EXPECT_EQ(nullptr, XMLTREE_NIL[0]);
}

TEST(XmlTree, NullArgumentsGiveNull) {
    EXPECT_EQ(nullptr, xmltree_add_child(nullptr, "x", 0));
    EXPECT_EQ(nullptr, xmltree_set_flag(nullptr, XMLTREE_HANDOVER));
    EXPECT_EQ(nullptr, xmltree_set_attr(nullptr, "a", "b"));
    EXPECT_EQ(nullptr, xmltree_attr(nullptr, "a"));
    EXPECT_EQ(nullptr, xmltree_insert(nullptr, nullptr, 0));
}

TEST(XmlTree, InsertRefusesLinksThatWouldBreakTheTree) {
    log_capture logs;
    tree_ptr a{xmltree_new("a")};
    xmltree *child = xmltree_add_child(a.get(), "child", 0);
    xmltree *grandchild = xmltree_add_child(child, "grandchild", 0);
    tree_ptr b{xmltree_new("b")};

    // Already placed elsewhere, or the target lies inside the element.
    EXPECT_EQ(nullptr, xmltree_insert(child, b.get(), 0));
    EXPECT_EQ(nullptr, xmltree_insert(a.get(), grandchild, 0));
    EXPECT_EQ(nullptr, xmltree_insert(a.get(), a.get(), 0));
    EXPECT_EQ(3u, logs.count(GLOG_ERROR));
    EXPECT_EQ("<a>\n    <child>\n        <grandchild/>\n    </child>\n</a>\n", to_text(a.get()));

    // A parentless root goes under another tree and is released with it.
    tree_ptr c{xmltree_new("c")};
    ASSERT_TRUE(xmltree_add_default(c.get(), "c", "x", "1"));
    xmltree *moved = c.release();
    EXPECT_EQ(moved, xmltree_insert(moved, b.get(), 0));
    EXPECT_EQ("<b>\n    <c/>\n</b>\n", to_text(b.get()));
}

TEST(XmlTree, DocumentDefaultsAndInstructions) {
    tree_ptr dds{xmltree_new("dds")};
    xmltree *plain = xmltree_add_child(dds.get(), "member", 0);
    xmltree *own = xmltree_add_child(dds.get(), "member", 0);
    set_owned(own, "key", "true");
    ASSERT_TRUE(xmltree_add_default(dds.get(), "member", "key", "false"));
    ASSERT_TRUE(xmltree_add_instruction(dds.get(), "xml-stylesheet", "href=\"s.css\"", false));
    ASSERT_TRUE(xmltree_add_instruction(dds.get(), "end", "", true));
    EXPECT_FALSE(xmltree_add_default(plain, "member", "key", "x"));
    EXPECT_FALSE(xmltree_add_instruction(plain, "t", "", false));

    EXPECT_STREQ("false", xmltree_attr(plain, "key"));
    EXPECT_STREQ("true", xmltree_attr(own, "key"));
    EXPECT_EQ(nullptr, xmltree_attr(dds.get(), "key"));
    EXPECT_EQ("<?xml-stylesheet href=\"s.css\"?>\n"
              "<dds>\n"
              "    <member key=\"false\"/>\n"
              "    <member key=\"true\"/>\n"
              "</dds>\n"
              "\n<?end?>",
              to_text(dds.get()));
    // A subtree is written without the document's instructions but with its defaults.
    EXPECT_EQ("<member key=\"false\"/>\n", to_text(plain));
}

TEST(XmlTree, LargeTreesWithoutRecursionLimits) {
    // A very deep chain is released without exhausting the stack.
    xmltree *deep = xmltree_new("d");
    xmltree *at = deep;
    for (int i = 0; i < 1000000; ++i) {
        at = xmltree_add_child(at, "d", 0);
        ASSERT_NE(nullptr, at);
    }
    xmltree_free(deep);

    // Many siblings with attributes: every element written, in order, on its own line.
    tree_ptr wide{xmltree_new("types")};
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        xmltree *s = xmltree_add_child(wide.get(), "struct", 0);
        ASSERT_NE(nullptr, s);
        set_owned(s, "name", std::to_string(i).c_str());
    }
    const std::string text = to_text(wide.get());
    std::size_t lines = 0;
    for (char ch : text) {
        lines += ch == '\n' ? 1 : 0;
    }
    EXPECT_EQ(static_cast<std::size_t>(count) + 2, lines);
    EXPECT_NE(std::string::npos, text.find("    <struct name=\"199999\"/>\n</types>\n"));
    EXPECT_EQ(0u, text.find("<types>\n    <struct name=\"0\"/>\n    <struct name=\"1\"/>\n"));
}

//=== streamed writing and copied attributes ===//

namespace {

// Collects the pieces a streamed write hands over; fails from piece `fail_at` on.
struct piece_sink {
    std::string text;
    std::vector<std::size_t> sizes;
    std::size_t fail_at = static_cast<std::size_t>(-1);

    static bool take(void *context, const char *data, std::size_t len) {
        auto *self = static_cast<piece_sink *>(context);
        if (self->sizes.size() >= self->fail_at) {
            self->sizes.push_back(0);
            return false;
        }
        self->text.append(data, len);
        self->sizes.push_back(len);
        return true;
    }
};

xmltree *set_copied(xmltree *t, const std::string &name, const std::string &value) {
    return xmltree_set_attr_copy(t, name.data(), name.size(), value.data(), value.size());
}

// A document whose text is several pieces long, with escaping and nesting on the way.
tree_ptr wide_document() {
    tree_ptr dds{xmltree_new("dds")};
    xmltree *types = xmltree_add_child(dds.get(), "types", 0);
    for (int i = 0; i < 3000; ++i) {
        xmltree *s = xmltree_add_child(types, "struct", 0);
        set_copied(s, "name", "S" + std::to_string(i));
        set_copied(xmltree_add_child(s, "member", 0), "value", "\"a<b\"\t&" + std::to_string(i));
    }
    return dds;
}

} // namespace

TEST(XmlTree, StreamedTextEqualsTheWholeText) {
    const tree_ptr dds = wide_document();
    const std::string whole = to_text(dds.get());
    ASSERT_GT(whole.size(), 3u * 64 * 1024);

    piece_sink sink;
    ASSERT_TRUE(xmltree_write_beautify(dds.get(), piece_sink::take, &sink));
    EXPECT_EQ(whole, sink.text);
    for (std::size_t n : sink.sizes) {
        EXPECT_GT(n, 0u);
        EXPECT_LE(n, 64u * 1024);
    }
    // A subtree streams alone, as it is written whole.
    xmltree *first = dds->child->child;
    piece_sink part;
    ASSERT_TRUE(xmltree_write_beautify(first, piece_sink::take, &part));
    EXPECT_EQ(to_text(first), part.text);

    piece_sink none;
    EXPECT_TRUE(xmltree_write_beautify(nullptr, piece_sink::take, &none));
    EXPECT_TRUE(none.sizes.empty());
    EXPECT_FALSE(xmltree_write_beautify(dds.get(), nullptr, nullptr));
}

// Start tags, children written at their depth and end tags give the text of the whole document;
// a childless element's start tag closes it, with its content after it.
TEST(XmlTree, DocumentWrittenPartByPartEqualsTheWholeText) {
    const tree_ptr dds = wide_document();
    xmltree *types = dds->child;
    char note[] = "x&y";
    xmltree_add_child(types->child, "note", 0)->txt = note;
    set_copied(types, "kind", "a\"b");
    piece_sink sink;
    ASSERT_TRUE(xmltree_write_start_tag(dds.get(), 0, true, piece_sink::take, &sink));
    ASSERT_TRUE(xmltree_write_start_tag(types, 1, true, piece_sink::take, &sink));
    for (const xmltree *s = types->child; s != nullptr; s = s->ordered) {
        ASSERT_TRUE(xmltree_write_beautify_at(s, 2, piece_sink::take, &sink));
    }
    ASSERT_TRUE(xmltree_write_end_tag(types, 1, piece_sink::take, &sink));
    ASSERT_TRUE(xmltree_write_end_tag(dds.get(), 0, piece_sink::take, &sink));
    EXPECT_EQ(to_text(dds.get()), sink.text);

    const tree_ptr lone{xmltree_new("types")};
    char content[] = "t<";
    lone->txt = content;
    piece_sink closed;
    ASSERT_TRUE(xmltree_write_start_tag(lone.get(), 3, false, piece_sink::take, &closed));
    EXPECT_EQ("            <types/>\nt&lt;", closed.text);
    EXPECT_FALSE(xmltree_write_end_tag(nullptr, 0, piece_sink::take, &closed));
    EXPECT_FALSE(xmltree_write_beautify_at(lone.get(), 0, nullptr, nullptr));
}

TEST(XmlTree, StreamedWriteStopsAtTheFirstSinkFailure) {
    const tree_ptr dds = wide_document();
    for (std::size_t fail_at : {0u, 1u, 2u}) {
        SCOPED_TRACE(fail_at);
        piece_sink sink;
        sink.fail_at = fail_at;
        EXPECT_FALSE(xmltree_write_beautify(dds.get(), piece_sink::take, &sink));
        // The failing piece is the last one offered.
        EXPECT_EQ(fail_at + 1, sink.sizes.size());
    }
}

TEST(XmlTree, CopiedAttributesBelongToTheDocument) {
    tree_ptr dds{xmltree_new("dds")};
    xmltree *a = xmltree_add_child(dds.get(), "a", 0);
    // Views need not be terminated: only the given bytes are taken.
    const char text[] = "namexyz";
    ASSERT_EQ(a, xmltree_set_attr_copy(a, text, 4, text + 4, 2));
    EXPECT_STREQ("xy", xmltree_attr(a, "name"));
    EXPECT_EQ(nullptr, xmltree_attr(a, "namex"));
    // An empty value may come as a null pointer; a replacement keeps the position.
    ASSERT_EQ(a, xmltree_set_attr_copy(a, "type", 4, nullptr, 0));
    ASSERT_EQ(a, set_copied(a, "name", "second"));
    EXPECT_EQ((std::vector<std::string>{"name=second", "type="}), attr_names(a));
    // Over a handed-over value the copy releases it (checked by the sanitizers); the handed-over
    // name stays the tree's.
    set_owned(a, "owned", "heap");
    ASSERT_EQ(a, set_copied(a, "owned", "copy"));
    EXPECT_STREQ("copy", xmltree_attr(a, "owned"));
    EXPECT_EQ("  \x80", marks_of(a));
    EXPECT_EQ(nullptr, xmltree_set_attr_copy(nullptr, "n", 1, "v", 1));
    EXPECT_EQ(nullptr, xmltree_set_attr_copy(a, nullptr, 3, "v", 1));

    // Equal short values may share one copy; replacing one leaves the others alone, and values
    // alike at both ends stay apart.
    xmltree *b = xmltree_add_child(dds.get(), "b", 0);
    xmltree *c = xmltree_add_child(dds.get(), "c", 0);
    set_copied(b, "type", "int32");
    set_copied(c, "type", "int32");
    set_copied(b, "type", "int64");
    set_copied(b, "long", "abcdefgh-X-ijklmnop");
    set_copied(c, "long", "abcdefgh-Y-ijklmnop");
    EXPECT_STREQ("int64", xmltree_attr(b, "type"));
    EXPECT_STREQ("int32", xmltree_attr(c, "type"));
    EXPECT_STREQ("abcdefgh-X-ijklmnop", xmltree_attr(b, "long"));
    EXPECT_STREQ("abcdefgh-Y-ijklmnop", xmltree_attr(c, "long"));
    const std::string big(100000, 'v');
    set_copied(c, "big", big);
    EXPECT_EQ(big, xmltree_attr(c, "big"));
}

TEST(XmlTree, AttributeListsGrowWhereverTheyAre) {
    // Attributes set on an element after later elements were made, on the root, and very many
    // on one element: every list keeps its pairs, marks and order.
    tree_ptr dds{xmltree_new("dds")};
    std::vector<xmltree *> kids;
    for (int i = 0; i < 50; ++i) {
        kids.push_back(xmltree_add_child(dds.get(), "k", 0));
    }
    const int rounds = 40;
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < kids.size(); ++k) {
            const std::string v = std::to_string(k) + "." + std::to_string(r);
            if (r % 2 == 0) {
                set_copied(kids[k], "a" + std::to_string(r), v);
            } else {
                set_owned(kids[k], ("a" + std::to_string(r)).c_str(), v.c_str());
            }
        }
        set_copied(dds.get(), "r" + std::to_string(r), std::to_string(r));
    }
    for (std::size_t k = 0; k < kids.size(); ++k) {
        const std::vector<std::string> names = attr_names(kids[k]);
        ASSERT_EQ(static_cast<std::size_t>(rounds), names.size());
        for (int r = 0; r < rounds; ++r) {
            EXPECT_EQ("a" + std::to_string(r) + "=" + std::to_string(k) + "." + std::to_string(r),
                      names[r]);
        }
        std::string marks;
        for (int r = 0; r < rounds; ++r) {
            marks += r % 2 == 0 ? ' ' : '\xc0';
        }
        EXPECT_EQ(marks, marks_of(kids[k]));
    }
    EXPECT_EQ(static_cast<std::size_t>(rounds), attr_names(dds.get()).size());

    xmltree *many = xmltree_add_child(dds.get(), "many", 0);
    const int count = 6000; // the list outgrows a storage block
    for (int i = 0; i < count; ++i) {
        set_copied(many, "n" + std::to_string(i), std::to_string(i));
    }
    const std::vector<std::string> names = attr_names(many);
    ASSERT_EQ(static_cast<std::size_t>(count), names.size());
    EXPECT_EQ("n0=0", names.front());
    EXPECT_EQ("n5999=5999", names.back());
    // Removal in the middle of a long list closes the gap.
    ASSERT_EQ(many, xmltree_set_attr(many, "n3000", nullptr));
    EXPECT_EQ(nullptr, xmltree_attr(many, "n3000"));
    EXPECT_STREQ("3001", xmltree_attr(many, "n3001"));
    EXPECT_EQ(static_cast<std::size_t>(count - 1), marks_of(many).size());
}
