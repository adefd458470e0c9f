#include "platform/hive_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/hive_apply.h"

namespace platform {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string utf16(std::u16string_view s) {
  std::string out("\xFF\xFE", 2);
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

RegNode treeOf(const HiveParseResult& parsed) {
  RegNode root;
  for (const HiveKeyRecord& key : parsed.keys) applyKeyRecord(root, key);
  return root;
}

void expectSameTree(const RegNode& a, const RegNode& b) {
  EXPECT_EQ(a.name, b.name);
  ASSERT_EQ(a.values.size(), b.values.size()) << a.name;
  for (size_t i = 0; i < a.values.size(); ++i) {
    EXPECT_EQ(a.values[i].name, b.values[i].name);
    EXPECT_EQ(a.values[i].type, b.values[i].type) << a.values[i].name;
    EXPECT_EQ(a.values[i].data, b.values[i].data) << a.values[i].name;
  }
  ASSERT_EQ(a.subkeys.size(), b.subkeys.size()) << a.name;
  for (size_t i = 0; i < a.subkeys.size(); ++i) expectSameTree(a.subkeys[i], b.subkeys[i]);
}

TEST(HiveFile, ReadsEveryValueForm) {
  const HiveParseResult r = parseHiveText(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "; a comment\r\n"
      "[HKCU\\Software\\A]\r\n"
      "@=\"default\"\r\n"
      "\"path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
      "\"n\"=dword:0000001F\r\n"
      "\"bin\"=hex:01,02,\\\r\n"
      "   03\r\n"
      "\"multi\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
      "\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"gone\"=-\r\n"
      "[-HKEY_LOCAL_MACHINE\\Old]\r\n");
  ASSERT_TRUE(r.ok()) << r.errorLine << ": " << r.error;
  EXPECT_TRUE(r.unicode);
  ASSERT_EQ(r.keys.size(), 2u);
  const HiveKeyRecord& k = r.keys[0];
  EXPECT_EQ(k.root, "HKEY_CURRENT_USER");
  EXPECT_EQ(k.path, "Software\\A");
  ASSERT_EQ(k.values.size(), 7u);
  EXPECT_EQ(k.values[0].name, "");
  EXPECT_EQ(k.values[0].data, bytes(std::string_view("default\0", 8)));
  EXPECT_EQ(k.values[1].data, bytes(std::string_view("C:\\dir\\\"q\"\0", 11)));
  EXPECT_EQ(k.values[2].type, 4u);
  EXPECT_EQ(k.values[2].data, (std::vector<uint8_t>{0x1F, 0, 0, 0}));
  EXPECT_EQ(k.values[3].type, 3u);
  EXPECT_EQ(k.values[3].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(k.values[4].type, 7u);
  EXPECT_EQ(k.values[4].data, bytes(std::string_view("a\0\xC3\xA9\0\0", 6)));
  EXPECT_EQ(k.values[5].type, 11u);
  EXPECT_TRUE(k.values[6].remove);
  EXPECT_TRUE(r.keys[1].remove);
  EXPECT_EQ(r.keys[1].root, "HKEY_LOCAL_MACHINE");
}

TEST(HiveFile, Regedit4KeepsStringBytes) {
  const HiveParseResult r = parseHiveText("REGEDIT4\n[HKCU\\A]\n\"e\"=hex(2):25,41,25,00\n");
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_FALSE(r.unicode);
  EXPECT_EQ(r.keys[0].values[0].data, bytes(std::string_view("%A%\0", 4)));
}

TEST(HiveFile, ReadsUtf16WithSurrogatePairs) {
  const HiveParseResult r = parseHiveText(
      utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K\U0001F600]\r\n"
            u"\"caf\u00e9\"=\"x\"\r\n"));
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.keys[0].path, "K\xF0\x9F\x98\x80");
  EXPECT_EQ(r.keys[0].values[0].name, "caf\xC3\xA9");
}

TEST(HiveFile, BadUtf16IsAnErrorAtItsLine) {
  std::string odd = utf16(u"REGEDIT4\r\n[HKCU\\A]\r\n\"v\"=\"1\"\r\n\"w\"=\"2\"");
  odd.push_back('x');
  HiveParseResult r = parseHiveText(odd);
  EXPECT_EQ(r.errorLine, 4);
  EXPECT_EQ(r.error, "odd number of bytes in a UTF-16 file");
  ASSERT_EQ(r.keys.size(), 1u);
  EXPECT_EQ(r.keys[0].values.size(), 1u);  // the partial last line is not taken

  r = parseHiveText(utf16(u"REGEDIT4\r\n[HKCU\\A]\r\n\"v\"=\"\xD800\"\r\n"));
  EXPECT_EQ(r.errorLine, 3);
  EXPECT_EQ(r.error, "unpaired UTF-16 surrogate");

  r = parseHiveText(std::string("\xFF", 1));
  EXPECT_EQ(r.errorLine, 1);
}

TEST(HiveFile, ReportsTheFirstBadLineAndKeepsWhatCameBefore) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKCU\\A]\n\"ok\"=dword:1\n";
  const struct {
    std::string tail;
    int line;
  } cases[] = {
      {"\"x\"=dword:123456789\n", 5},
      {"\"x\"=hex:1,2g\n", 5},
      {"\"x\"=hex:01,\\\n", 5},
      {"\"x\"=\"open\n", 5},
      {"\"x\"=\"a\" junk\n", 5},
      {"[HKCU\\B\n", 5},
      {"[HKCU\\B\\\\C]\n", 5},
      {"[-HKCU]\n", 5},
      {"\"x\"=str:1\n", 5},
      {"garbage\n", 5},
      {"[-HKCU\\B]\n\"v\"=\"1\"\n", 6},
      {"\"x\"=hex(zz):00\n", 5},
      {"\"x\" \"y\"\n", 5},
      {"\n\n\"z\"=hex:01,\\\n  02,\\\n", 7},
  };
  for (const auto& c : cases) {
    const HiveParseResult r = parseHiveText(head + c.tail);
    EXPECT_EQ(r.errorLine, c.line) << c.tail;
    EXPECT_FALSE(r.error.empty()) << c.tail;
    ASSERT_FALSE(r.keys.empty()) << c.tail;
    ASSERT_EQ(r.keys[0].values.size(), 1u) << c.tail;
    EXPECT_EQ(r.keys[0].values[0].name, "ok");
  }
  EXPECT_EQ(parseHiveText("[HKCU\\A]\n").errorLine, 1);
  EXPECT_EQ(parseHiveText("REGEDIT4\n\"v\"=\"1\"\n").errorLine, 2);
}

TEST(HiveFile, EveryPrefixOfAFileParsesWithoutFault) {
  const std::string text = utf16(
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKCU\\A\\B]\r\n\"s\"=\"t\\\\\"\r\n"
      u"\"m\"=hex(7):61,00,00,00,\\\r\n  00,00\r\n\"d\"=dword:00000001\r\n");
  for (size_t n = 0; n <= text.size(); ++n) {
    const HiveParseResult r = parseHiveText(std::string_view(text).substr(0, n));
    EXPECT_TRUE(r.ok() || r.errorLine >= 1);
  }
}

TEST(HiveFile, WritesAndReadsBackEveryType) {
  RegNode root;
  RegNode* k = createNode(root, "Software\\Brisk \"lane\"]\\Rule1");
  ASSERT_NE(k, nullptr);
  putValue(*k, "", 1, bytes(std::string_view("def\0", 4)));
  putValue(*k, "plain \"quoted\" \\", 1, bytes(std::string_view("C:\\x \"y\"\0", 9)));
  putValue(*k, "unterminated", 1, bytes("abc"));
  putValue(*k, "inner zero", 1, bytes(std::string_view("a\0b\0", 4)));
  putValue(*k, "newline", 1, bytes(std::string_view("a\nb\0", 4)));
  putValue(*k, "empty sz", 1, {});
  putValue(*k, "expand", 2, bytes(std::string_view("%HOME%\xC3\xA9\0", 9)));
  putValue(*k, "multi", 7, bytes(std::string_view("a\0\xFF\xED\xA0\x80\xF0\x9F\x98\x80\0\0", 12)));
  putValue(*k, "dword", 4, {0x78, 0x56, 0x34, 0x12});
  putValue(*k, "short dword", 4, {1, 2, 3});
  std::vector<uint8_t> big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  putValue(*k, "binary", 3, big);
  putValue(*k, "none", 0, {});
  putValue(*k, "qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  putValue(*k, "odd type", 0x12345, {9});
  createNode(root, "Empty\\Leaf");

  const std::string text = formatHiveText(root, "HKEY_CURRENT_USER", true);
  for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
    EXPECT_LE(end - pos, 80u);
  }
  const HiveParseResult r = parseHiveText(text);
  ASSERT_TRUE(r.ok()) << r.errorLine << ": " << r.error << "\n" << text;
  expectSameTree(treeOf(r), root);
}

TEST(HiveFile, TreeOperationsIgnoreCase) {
  RegNode root;
  createNode(root, "A\\B\\C");
  EXPECT_EQ(findNode(root, "a\\b\\c"), createNode(root, "A\\b\\C"));
  putValue(*findNode(root, "a"), "Name", 4, {1, 0, 0, 0});
  putValue(*findNode(root, "a"), "NAME", 3, {2});
  ASSERT_EQ(findNode(root, "A")->values.size(), 1u);
  EXPECT_EQ(findNode(root, "A")->values[0].name, "Name");
  EXPECT_TRUE(deleteNode(root, "a\\B"));
  EXPECT_EQ(findNode(root, "A\\B\\C"), nullptr);
  EXPECT_FALSE(deleteNode(root, "A\\B"));
  EXPECT_EQ(createNode(root, "A\\\\B"), nullptr);
  EXPECT_EQ(createNode(root, std::string(256, 'x')), nullptr);
}

// The records one at a time with the plain tree operations: what the applier must equal.
void applyPlainly(RegNode& root, const HiveKeyRecord& record) {
  if (record.remove) {
    deleteNode(root, record.path);
    return;
  }
  RegNode* node = createNode(root, record.path);
  for (const HiveValueRecord& v : record.values) {
    if (!v.remove) {
      putValue(*node, v.name, v.type, v.data);
      continue;
    }
    auto& values = node->values;
    values.erase(std::remove_if(values.begin(), values.end(),
                                [&](const RegValue& x) { return namesEqual(x.name, v.name); }),
                 values.end());
  }
}

TEST(HiveFile, ApplyingManyRecordsGivesTheTreeOfApplyingThemOneByOne) {
  std::vector<HiveKeyRecord> records;
  const auto add = [&](std::string path, bool remove = false) -> HiveKeyRecord& {
    records.push_back(HiveKeyRecord{"HKEY_CURRENT_USER", std::move(path), remove, 0, {}});
    return records.back();
  };
  HiveKeyRecord& big = add("Software\\Big");
  for (int i = 0; i < 3000; ++i) {
    big.values.push_back(
        HiveValueRecord{"v" + std::to_string(i), false, 4, {static_cast<uint8_t>(i), 0, 0, 0}});
  }
  // Later records set some again (in other case), delete some and add new ones.
  HiveKeyRecord& again = add("SOFTWARE\\big");
  for (int i = 0; i < 3000; i += 7) {
    again.values.push_back(HiveValueRecord{"V" + std::to_string(i), false, 1, {'x', 0}});
    again.values.push_back(HiveValueRecord{"v" + std::to_string(i + 1), true, 0, {}});
  }
  again.values.push_back(HiveValueRecord{"fresh", false, 3, {1, 2, 3}});
  again.values.push_back(HiveValueRecord{"FRESH", false, 3, {4}});
  for (int k = 0; k < 300; ++k) {
    add("Software\\Big\\Rule" + std::to_string(k))
        .values.push_back(HiveValueRecord{"n", false, 4, {static_cast<uint8_t>(k), 0, 0, 0}});
  }
  // A key deleted and made again, then its siblings and the big key changed once more.
  add("Software\\Big\\Rule5", true);
  add("software\\big\\rule5").values.push_back(HiveValueRecord{"back", false, 1, {'b', 0}});
  add("Software\\Big\\Rule9\\Deep\\Deeper")
      .values.push_back(HiveValueRecord{"d", false, 1, {'d', 0}});
  add("Software\\Big").values.push_back(HiveValueRecord{"v2999", true, 0, {}});

  RegNode plain;
  for (const HiveKeyRecord& r : records) applyPlainly(plain, r);
  RegNode applied;
  HiveApplier applier(applied);
  for (HiveKeyRecord& r : records) applier.apply(std::move(r));
  applier.finish();
  expectSameTree(applied, plain);
  ASSERT_NE(findNode(applied, "Software\\Big"), nullptr);
  EXPECT_GT(findNode(applied, "Software\\Big")->values.size(), 2500u);
}

TEST(HiveFile, DeletionsInManyRecordsKeepTheOrderOfWhatStaysAndOfWhatComesBack) {
  // Deletions spread over many records of the same key, names deleted and set again, keys
  // deleted and made again with and without their subkeys, before and after a finish.
  std::vector<HiveKeyRecord> records;
  const auto add = [&](std::string path, bool remove = false) -> HiveKeyRecord& {
    records.push_back(HiveKeyRecord{"HKEY_CURRENT_USER", std::move(path), remove, 0, {}});
    return records.back();
  };
  HiveKeyRecord& many = add("Software\\Many");
  for (int i = 0; i < 500; ++i) {
    many.values.push_back(HiveValueRecord{"v" + std::to_string(i), false, 4, {1, 0, 0, 0}});
  }
  for (int k = 0; k < 50; ++k) {
    add("Software\\Many\\K" + std::to_string(k) + "\\Sub")
        .values.push_back(HiveValueRecord{"s", false, 1, {'s', 0}});
  }
  for (int i = 0; i < 500; i += 3) {
    add("software\\many").values.push_back(HiveValueRecord{"V" + std::to_string(i), true, 0, {}});
  }
  for (int i = 0; i < 500; i += 9) {
    add("Software\\Many")
        .values.push_back(HiveValueRecord{"v" + std::to_string(i), false, 1, {'b', 0}});
  }
  for (int k = 0; k < 50; k += 2) {
    add("Software\\Many\\k" + std::to_string(k), true);
    if (k % 4 == 0) {
      add("Software\\Many\\K" + std::to_string(k))
          .values.push_back(HiveValueRecord{"again", false, 4, {2, 0, 0, 0}});
    }
  }
  add("Software\\Many\\K1\\Sub", true);
  add("Software\\Many\\K1\\Sub\\Deeper").values.push_back(HiveValueRecord{"d", false, 1, {'d', 0}});
  add("Software\\Gone\\Never", true);  // nothing to delete
  add("Software\\Many").values.push_back(HiveValueRecord{"never there", true, 0, {}});

  RegNode plain;
  for (const HiveKeyRecord& r : records) applyPlainly(plain, r);
  RegNode applied;
  HiveApplier applier(applied);
  const size_t half = records.size() / 2;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i == half) applier.finish();  // an applier goes on after a finish
    applier.apply(records[i]);
  }
  applier.finish();
  expectSameTree(applied, plain);
  const RegNode* node = findNode(applied, "Software\\Many");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->values.back().name, "v495");  // set again after its deletion: at the end
  EXPECT_EQ(node->subkeys.back().name, "K48");  // made again after its deletion: at the end
}

}  // namespace
}  // namespace platform
