#include "morvane/update/release.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <sstream>

#include "morvane/update/sha/hex.h"
#include "morvane/update/testing/test_util.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// The test key pair of testdata/test_update_key.txt; libsodium signs, independently of
// the verifier under test.
struct TestKey {
  UpdateKey public_key{};
  unsigned char secret[crypto_sign_SECRETKEYBYTES]{};
  TestKey() {
    EXPECT_EQ(sodium_init() >= 0, true);
    std::istringstream in(testing::read_file(std::string(MORVANE_TESTDATA_DIR) + "/test_update_key.txt"));
    std::string word, seed_hex, public_hex;
    while (in >> word) {
      if (word == "seed") in >> seed_hex;
      if (word == "public") in >> public_hex;
    }
    const auto seed = testing::from_hex(seed_hex);
    crypto_sign_seed_keypair(public_key.data(), secret, seed.data());
    EXPECT_EQ(hex_encode(public_key.data(), 32), public_hex);
  }
  std::string sign(std::string_view message) const {
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), secret);
    return hex_encode(sig, sizeof(sig));
  }
};

const TestKey& test_key() {
  static const TestKey key;
  return key;
}

Json description(std::string_view version = "1.2.0") {
  Json d;
  d["app"] = "vantriel";
  d["version"] = version;
  d["date"] = "2026-12-01";
  d["url"] = "https://example.com/Vantriel-1.2.0.zip";
  d["size"] = 1234;
  d["sha256"] = std::string(64, 'a');
  return d;
}

std::string signed_document(const Json& d) {
  Json doc;
  doc["manifest"] = d;
  doc["sig"] = test_key().sign(canonical_json(d));
  return doc.dump();
}

ReleaseCheck check(std::string_view body, std::string_view running = "0.1.1",
                   bool with_key = true, int status = 200) {
  return evaluate_release(status, body, running,
                          with_key ? std::optional<UpdateKey>(test_key().public_key) : std::nullopt,
                          testing::test_product());
}

// The failure's text and its description-read flag, or "ok".
std::string failure(const ReleaseCheck& r, bool* read = nullptr) {
  if (const auto* f = std::get_if<ReleaseFailure>(&r)) {
    if (read) *read = f->description_read;
    return f->message;
  }
  return "ok";
}

Release success(const ReleaseCheck& r) {
  const auto* ok = std::get_if<Release>(&r);
  EXPECT_NE(ok, nullptr) << failure(r);
  return ok ? *ok : Release{};
}

TEST(CanonicalJsonTest, SortsKeysAndEscapesOnlyWhatJsonNeeds) {
  const auto v = Json::parse(R"({"b":1,"a":[true,false,null,-7,18446744073709551615],)"
                             R"("ab":"q\"\\\b\f\n\r\t\u0001\u001f\u007f é ✓","":{"z":{},"y":[]}})");
  EXPECT_EQ(canonical_json(v),
            "{\"\":{\"y\":[],\"z\":{}},\"a\":[true,false,null,-7,18446744073709551615],"
            "\"ab\":\"q\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xc3\xa9 \xe2\x9c\x93\",\"b\":1}");
  // Keys compare as bytes: upper case first, a prefix before its extensions, UTF-8 last.
  EXPECT_EQ(canonical_json(Json::parse(R"({"é":1,"ab":2,"a":3,"B":4})")),
            "{\"B\":4,\"a\":3,\"ab\":2,\"\xc3\xa9\":1}");
}

TEST(CanonicalJsonTest, FloatTextRule) {
  const std::pair<double, const char*> cases[] = {
      {100.0, "100.0"},    {1e16, "1e+16"},   {1e15, "1000000000000000.0"},
      {2.5e-05, "2.5e-05"}, {0.0001, "0.0001"}, {0.0, "0.0"},
      {-0.0, "-0.0"},      {1.5, "1.5"},      {0.1, "0.1"},
      {123456.789, "123456.789"}, {1.2345e+100, "1.2345e+100"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {-3e-7, "-3e-07"},
      {9007199254740993.0, "9007199254740992.0"}};
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(float_text(value), text);
    EXPECT_EQ(canonical_json(Json(value)), text);
  }
  EXPECT_EQ(float_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-Infinity");
  EXPECT_EQ(canonical_json(Json::parse("[100.0, 100, 1e16]")), "[100.0,100,1e+16]");
}

TEST(ValueTextTest, EveryType) {
  EXPECT_EQ(value_text(Json()), "None");
  EXPECT_EQ(value_text(Json(true)), "True");
  EXPECT_EQ(value_text(Json(false)), "False");
  EXPECT_EQ(value_text(Json(-12)), "-12");
  EXPECT_EQ(value_text(Json(2.0)), "2.0");
  EXPECT_EQ(value_text(Json("v1.2 ")), "v1.2 ");
  EXPECT_EQ(value_text(Json::parse(R"({"b":[1,"x"],"a":null})")), R"({"b":[1,"x"],"a":null})");
}

TEST(TruthyTest, FalsyValuesAndTypeNames) {
  for (const char* falsy : {"null", "false", "0", "0.0", "-0.0", "\"\"", "[]", "{}"}) {
    EXPECT_FALSE(truthy(Json::parse(falsy))) << falsy;
  }
  for (const char* yes : {"true", "1", "-1", "0.5", "\"0\"", "[0]", "{\"a\":null}"}) {
    EXPECT_TRUE(truthy(Json::parse(yes))) << yes;
  }
  EXPECT_TRUE(truthy(Json(std::numeric_limits<double>::quiet_NaN())));
  const std::pair<const char*, const char*> names[] = {
      {"null", "NoneType"}, {"true", "bool"}, {"3", "int"}, {"-3", "int"},
      {"3.5", "float"},    {"\"x\"", "str"}, {"[]", "list"}, {"{}", "dict"}};
  for (const auto& [json, name] : names) EXPECT_EQ(type_name(Json::parse(json)), name);
}

TEST(VersionKeyTest, ReadsPartsLikeIntegers) {
  using K = VersionKey;
  EXPECT_EQ(version_key("1.2.0"), (K{1, 2, 0}));
  EXPECT_EQ(version_key("  vvv1.2\n"), (K{1, 2}));
  EXPECT_EQ(version_key(" 1 . +2 .-3"), (K{1, 2, -3}));
  EXPECT_EQ(version_key("1_0.2_000"), (K{10, 2000}));
  EXPECT_EQ(version_key("\xd9\xa1.\xef\xbc\x92"), (K{1, 2}));  // Arabic-Indic 1, fullwidth 2
  EXPECT_EQ(version_key("\xe0\xa5\xa7\xe0\xa5\xa6"), (K{10}));  // Devanagari 10
  EXPECT_EQ(version_key("\xe2\x80\x83" "3\xe3\x80\x80"), (K{3}));  // Unicode blanks around
  EXPECT_EQ(version_key("170141183460469231731687303715884105727"),
            (K{(VersionPart{1} << 126) - 1 + (VersionPart{1} << 126)}));
  EXPECT_EQ(version_key("-170141183460469231731687303715884105728").size(), 1u);
  EXPECT_LT(version_key("-170141183460469231731687303715884105728")[0], 0);
  for (const char* bad : {"", "1..2", "1.", "1__0", "_1", "1_", "V1", "1.2a", "1.+", "--1",
                          "1 2", "0x10", "170141183460469231731687303715884105728", "1.²"}) {
    EXPECT_EQ(version_key(bad), (K{0})) << bad;
  }
}

TEST(VersionKeyTest, Ordering) {
  EXPECT_LT(version_key("1.2"), version_key("1.2.0"));
  EXPECT_EQ(version_key("1.2"), version_key("v1.2"));
  EXPECT_LT(version_key("1.9"), version_key("1.10"));
  EXPECT_LT(version_key("0.1.1"), version_key("1"));
  EXPECT_LT(version_key("garbage"), version_key("0.0.1"));
}

TEST(UpdateKeyTest, CompiledKeyThenFilesBesideTheProgram) {
  testing::ScratchDir dir;
  const std::string hex(64, 'a');
  UpdateKey aa;
  aa.fill(0xAA);
  // The build compiles in a key followed by a line feed.
  EXPECT_TRUE(compiled_update_key_text().ends_with("\n"));
  EXPECT_TRUE(load_update_key(dir.path()).has_value());
  EXPECT_EQ(load_update_key(dir.path(), " \t" + hex + "\n"), aa);
  EXPECT_EQ(load_update_key(dir.path(), ""), std::nullopt);
  EXPECT_EQ(load_update_key(dir.path(), hex.substr(2)), std::nullopt);  // 31 bytes

  testing::write_file(dir.path() / "mrv" / "clave_actualizaciones.pub", std::string(64, 'b'));
  UpdateKey bb;
  bb.fill(0xBB);
  EXPECT_EQ(load_update_key(dir.path(), "no hex"), bb);
  testing::write_file(dir.path() / "clave_actualizaciones.pub", "\xc2\xa0" + std::string(64, 'C') + "\r\n");
  UpdateKey cc;
  cc.fill(0xCC);
  EXPECT_EQ(load_update_key(dir.path(), "no hex"), cc);
  // A damaged first file falls through to the second.
  testing::write_file(dir.path() / "clave_actualizaciones.pub", std::string(66, 'c'));
  EXPECT_EQ(load_update_key(dir.path(), "no hex"), bb);
}

TEST(ReleaseTest, SignedDescriptionIsAccepted) {
  Json d = description();
  d["changes"] = Json::parse(R"([{"version":"1.2.0","es":"nuevo"},{"version":"0.1.0"}])");
  const Release r = success(check(signed_document(d)));
  EXPECT_TRUE(r.newer);
  EXPECT_EQ(r.version, "1.2.0");
  EXPECT_EQ(r.info.dump(),
            R"({"version":"1.2.0","date":"2026-12-01","url":"https://example.com/Vantriel-1.2.0.zip",)"
            R"("size":1234,"sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)"
            R"("page":"https://vantriel.app/support/","changes":[{"version":"1.2.0","es":"nuevo"}],)"
            R"("signed":true})");
}

TEST(ReleaseTest, SignatureCoversTheCanonicalTextOnly) {
  Json d = description();
  d["extra"] = Json::parse(R"({"z":[1.0,100.0,1e16],"a":"\u00e9"})");
  const std::string sig = test_key().sign(canonical_json(d));
  // Members re-ordered by a JSON tool and the document re-spaced: still valid.
  std::string reordered = "{\n  \"otro\": 1,\n  \"sig\" : \"" + sig + "\",\n  \"manifest\": {";
  bool first = true;
  std::vector<std::string> members;
  for (const auto& [k, v] : d.items()) members.push_back("\"" + k + "\" : " + v.dump(2));
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    reordered += (first ? "" : ", ") + *it;
    first = false;
  }
  reordered += "}\n}\n";
  EXPECT_TRUE(success(check(reordered)).info["signed"].get<bool>());
  // Spaced-out signature bytes are accepted.
  std::string spaced;
  for (size_t i = 0; i < sig.size(); i += 2) spaced += sig.substr(i, 2) + (i % 8 == 0 ? "\n " : " ");
  Json doc{{"manifest", d}, {"sig", spaced}};
  EXPECT_EQ(failure(check(doc.dump())), "ok");
  // Any change to the description breaks it; 100 and 100.0 sign differently.
  d["extra"]["z"][1] = 100;
  doc["manifest"] = d;
  doc["sig"] = sig;
  bool read = false;
  EXPECT_EQ(failure(check(doc.dump()), &read),
            "la firma de la actualización no es válida; no se instalará nada");
  EXPECT_TRUE(read);
}

TEST(ReleaseTest, SignatureFaults) {
  const Json d = description();
  const std::string sig = test_key().sign(canonical_json(d));
  const std::string bad_sig = "la firma de la actualización no es válida; no se instalará nada";
  auto with_sig = [&](const Json& s) { return Json{{"manifest", d}, {"sig", s}}.dump(); };
  bool read = true;
  EXPECT_EQ(failure(check(with_sig(sig.substr(0, 126))), &read), bad_sig);
  EXPECT_TRUE(read);
  EXPECT_EQ(failure(check(with_sig(sig + "00"))), bad_sig);
  EXPECT_EQ(failure(check(with_sig(""))), bad_sig);           // falsy: no signature
  EXPECT_EQ(failure(check(Json{{"manifest", d}}.dump())), bad_sig);
  EXPECT_EQ(failure(check(with_sig(5)), &read), "fromhex() argument must be str, not int");
  EXPECT_FALSE(read);
  EXPECT_EQ(failure(check(with_sig(Json::array({1})))), "fromhex() argument must be str, not list");
  EXPECT_EQ(failure(check(with_sig(sig.substr(0, 3) + " " + sig.substr(3))), &read),
            "non-hexadecimal number found in fromhex() arg at position 3");
  EXPECT_FALSE(read);
  // A signature by another key.
  std::string other = sig;
  other[0] = other[0] == '0' ? '1' : '0';
  EXPECT_EQ(failure(check(with_sig(other))), bad_sig);
  // Without a key nothing about the signature is looked at, and "signed" is false.
  const Release unsigned_release = success(check(with_sig(5), "0.1.1", false));
  EXPECT_FALSE(unsigned_release.info["signed"].get<bool>());
  EXPECT_TRUE(unsigned_release.newer);
}

TEST(ReleaseTest, TransportTextAndShapeFaultsComeFirst) {
  bool read = true;
  EXPECT_EQ(failure(check("{}", "0.1.1", true, 404), &read), "HTTP Error 404");
  EXPECT_FALSE(read);
  EXPECT_EQ(failure(check("", "0.1.1", true, 500)), "HTTP Error 500");
  EXPECT_NE(failure(check("{}", "0.1.1", true, 399)), "HTTP Error 399");
  EXPECT_EQ(failure(check("{\"a\":\"\xff\"}")),
            "'utf-8' codec can't decode bytes: invalid start byte 0xff in position 6");
  EXPECT_EQ(failure(check("\"\xe2\x82\"")),
            "'utf-8' codec can't decode bytes: invalid continuation byte 0xe2 in position 1");
  EXPECT_EQ(failure(check("\"\xed\xa0\x80\"")),  // an encoded surrogate
            "'utf-8' codec can't decode bytes: invalid continuation byte 0xed in position 1");
  EXPECT_EQ(failure(check("\xe2\x82")),
            "'utf-8' codec can't decode bytes: unexpected end of data 0xe2 in position 0");
  const std::string json_error = failure(check("{\n  \"manifest\": ,\n}", "0.1.1", true, 200), &read);
  EXPECT_TRUE(json_error.ends_with(" at line 2 column 15")) << json_error;
  EXPECT_FALSE(read);
  EXPECT_TRUE(failure(check("")).ends_with(" at line 1 column 1")) << failure(check(""));
  EXPECT_TRUE(failure(check("{} x")).ends_with(" at line 1 column 4")) << failure(check("{} x"));
  EXPECT_TRUE(failure(check("{'a':1}")).find(" at line 1 column ") != std::string::npos);
  EXPECT_TRUE(failure(check("\xef\xbb\xbf{}")).starts_with("Unexpected UTF-8 BOM"));
  EXPECT_EQ(failure(check("[1]"), &read), "'list' object has no attribute 'get'");
  EXPECT_FALSE(read);
  EXPECT_EQ(failure(check("\"x\"")), "'str' object has no attribute 'get'");
  EXPECT_EQ(failure(check("null")), "'NoneType' object has no attribute 'get'");
  EXPECT_EQ(failure(check(R"({"manifest":[1],"sig":"00"})"), &read),
            "'list' object has no attribute 'get'");
  EXPECT_FALSE(read);
  EXPECT_EQ(failure(check(R"({"manifest":7})", "0.1.1", false)), "'int' object has no attribute 'get'");
  // Deep nesting is refused, not recursed into.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(failure(check(deep)).starts_with("nesting too deep at line 1 column ")) << failure(check(deep));
  // The column is that of the bracket one level too deep; brackets inside strings do not count.
  EXPECT_EQ(failure(check(deep)), "nesting too deep at line 1 column 257");
  EXPECT_EQ(failure(check("[\"[{\\\"[\"," + deep)), "nesting too deep at line 1 column 265");
  // Only the first 200000 bytes are read: a longer document fails as JSON.
  Json big = Json::parse(signed_document(description()));
  big["relleno"] = std::string(200000, ' ');
  const std::string cut = failure(check(big.dump()), &read);
  EXPECT_NE(cut.find(" at line 1 column "), std::string::npos) << cut;
  EXPECT_FALSE(read);
}

TEST(ReleaseTest, ADocumentIsItsWholeByteString) {
  using namespace std::string_literals;
  const std::string after_value =
      "syntax error while parsing value - unexpected NUL byte; expected end of input";
  bool read = true;
  EXPECT_EQ(failure(check("123\0"s), &read), after_value + " at line 1 column 4");
  EXPECT_FALSE(read);
  // A signed document stays refused whatever follows its NUL; the place is told in lines
  // and characters like every other fault.
  const std::string good = signed_document(description());
  ASSERT_EQ(failure(check(good)), "ok");
  EXPECT_EQ(failure(check(good + "\0"s)),
            after_value + " at line 1 column " + std::to_string(good.size() + 1));
  EXPECT_EQ(failure(check("{\"a\":\"\xC3\xB1\"} \0{}"s)), after_value + " at line 1 column 11");
  EXPECT_EQ(failure(check("{}\n \0"s)), after_value + " at line 2 column 2");
  // Before the end of the value the parser itself refuses it.
  EXPECT_NE(failure(check("{\"a\":\"x\0\"}"s)).find(" at line 1 column "), std::string::npos);
  EXPECT_NE(failure(check("[1,\0 2]"s)).find(" at line 1 column "), std::string::npos);
}

TEST(ReleaseTest, DescriptionFaults) {
  bool read = false;
  EXPECT_EQ(failure(check("{}", "0.1.1", false), &read), "respuesta sin versión");
  EXPECT_TRUE(read);
  EXPECT_EQ(failure(check(R"({"manifest":{"version":""}})", "0.1.1", false)), "respuesta sin versión");
  EXPECT_EQ(failure(check(R"({"manifest":{"version":0}})", "0.1.1", false)), "respuesta sin versión");
  const std::string other_app = "el archivo de versión es de otra app de la suite; no se instalará nada";
  for (const char* app : {"\"Vantriel\"", "\"otra\"", "1", "false", "\"\""}) {
    Json d = description();
    d["app"] = Json::parse(app);
    EXPECT_EQ(failure(check(signed_document(d)), &read), other_app) << app;
    EXPECT_TRUE(read);
  }
  Json d = description();
  d["app"] = nullptr;
  EXPECT_EQ(failure(check(signed_document(d))), "ok");
  d.erase("app");
  EXPECT_EQ(failure(check(signed_document(d))), "ok");
  // The text "0" is a version (truthy) that is never newer.
  const Release zero = success(check(signed_document(description("0"))));
  EXPECT_FALSE(zero.newer);
  EXPECT_EQ(zero.version, "0");
}

TEST(ReleaseTest, ChangeLists) {
  auto with_changes = [](const std::string& changes) {
    Json d = description();
    d["changes"] = Json::parse(changes);
    return check(signed_document(d));
  };
  bool read = false;
  EXPECT_EQ(failure(with_changes("\"texto\""), &read), "'str' object has no attribute 'get'");
  EXPECT_TRUE(read);
  EXPECT_EQ(failure(with_changes(R"({"version":"2"})")), "'str' object has no attribute 'get'");
  EXPECT_EQ(failure(with_changes("3")), "'int' object is not iterable");
  EXPECT_EQ(failure(with_changes("true")), "'bool' object is not iterable");
  EXPECT_EQ(failure(with_changes("2.5")), "'float' object is not iterable");
  EXPECT_EQ(failure(with_changes(R"([{"version":"9"},7])")), "'int' object has no attribute 'get'");
  EXPECT_EQ(failure(with_changes(R"([null])")), "'NoneType' object has no attribute 'get'");
  for (const char* empty : {"\"\"", "0", "false", "null", "[]", "{}"}) {
    EXPECT_EQ(success(with_changes(empty)).info["changes"], Json::array()) << empty;
  }
  // Entries not newer are dropped first, then the first twelve are kept in order.
  std::string list = "[";
  for (int i = 0; i < 20; ++i) {
    list += "{\"version\":\"1." + std::to_string(i) + "\",\"n\":" + std::to_string(i) + "},";
    list += "{\"version\":\"0.1.1\"},{\"version\":0.1},{},";
  }
  list += "{\"version\":[2]}]";
  const Json kept = success(with_changes(list)).info["changes"];
  ASSERT_EQ(kept.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(kept[static_cast<size_t>(i)]["n"], i);
}

TEST(ReleaseTest, VersionsAndReleaseInfoMembers) {
  EXPECT_TRUE(success(check(signed_document(description("1.2.0")), "1.2")).newer);
  EXPECT_FALSE(success(check(signed_document(description("v1.2")), "1.2")).newer);
  EXPECT_FALSE(success(check(signed_document(description("0.1.1")), "0.1.1")).newer);
  Json d = Json::object();
  d["version"] = 2;
  d["page"] = "https://example.com/notas";
  d["sha256"] = nullptr;
  const Release r = success(check(Json{{"manifest", d}}.dump(), "1.9.9", false));
  EXPECT_TRUE(r.newer);
  EXPECT_EQ(r.version, "2");
  EXPECT_EQ(r.info.dump(),
            R"({"version":2,"date":null,"url":null,"size":null,"sha256":null,)"
            R"("page":"https://example.com/notas","changes":[],"signed":false})");
  d["version"] = 1.5;
  EXPECT_EQ(success(check(Json{{"manifest", d}}.dump(), "1.4", false)).version, "1.5");
}

TEST(ReleaseTest, PackageCheck) {
  const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  Json info{{"sha256", "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789ABCDEF"}};
  EXPECT_TRUE(package_matches(info, hex));
  info["sha256"] = " " + hex;
  EXPECT_FALSE(package_matches(info, hex));
  info["sha256"] = 5;
  EXPECT_FALSE(package_matches(info, hex));
  EXPECT_FALSE(package_matches(Json::object(), hex));
  EXPECT_EQ(kPackageMismatch, "el archivo descargado no coincide con el publicado (SHA-256 distinto)");
}

TEST(ReleaseTest, ManifestUrl) {
  ::setenv("MRV_UPDATE_URL", "", 1);
  const UpdateProduct& product = testing::test_product();
  EXPECT_EQ(manifest_url(product), product.manifest_url);
  EXPECT_TRUE(manifest_url(product).ends_with("/version.json"));
  ::setenv("MRV_UPDATE_URL", "http://127.0.0.1:9/v.json", 1);
  EXPECT_EQ(manifest_url(product), "http://127.0.0.1:9/v.json");
  ::unsetenv("MRV_UPDATE_URL");
}

}  // namespace
}  // namespace morvane
