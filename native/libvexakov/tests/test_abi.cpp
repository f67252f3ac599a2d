// Tests of the C ABI only: what a ctypes caller can observe.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "vexakov.h"

namespace {

constexpr unsigned char kCanary = 0xA5;
constexpr size_t kGuardBytes = 32;

struct Result {
  int status;
  std::string text;
  bool operator==(const Result& o) const { return status == o.status && text == o.text; }
};

std::ostream& operator<<(std::ostream& os, const Result& r) {
  return os << "{status " << r.status << ", \"" << r.text << "\"}";
}

Result Ok(const std::string& text) { return {VEXAKOV_OK, text}; }
Result Err(int status) { return {status, ""}; }

// Queries into a buffer of exactly `size` bytes followed by guard bytes, and
// checks that nothing was written beyond the answer (or beyond out[0] on an
// error).
Result Query(const std::string& doc, const std::string& name, size_t size = 40) {
  std::vector<unsigned char> buf(size + kGuardBytes, kCanary);
  char* out = reinterpret_cast<char*>(buf.data());
  int status = ArchqueryParameter_Py(doc.c_str(), name.c_str(), out, size);
  size_t written = 0;
  std::string text;
  if (status == VEXAKOV_OK) {
    const void* nul = std::memchr(out, '\0', size);
    EXPECT_NE(nul, nullptr) << "no NUL within out_size";
    written = nul != nullptr ? size_t(static_cast<const char*>(nul) - out) + 1 : size;
    text.assign(out, written > 0 ? written - 1 : 0);
  } else if (size > 0) {
    EXPECT_EQ(out[0], '\0') << "status " << status << " left out[0] set";
    written = 1;
  }
  for (size_t i = written; i < buf.size(); ++i) {
    if (buf[i] != kCanary) {
      ADD_FAILURE() << "byte " << i << " written (out_size " << size << ")";
      break;
    }
  }
  return {status, text};
}

bool Supports(const std::string& doc, const std::string& op) {
  int r = ArchSupportsOperator_Py(doc.c_str(), op.c_str());
  EXPECT_TRUE(r == 0 || r == 1) << "returned " << r;
  return r != 0;
}

std::string Join(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& i : items) s += (s.empty() ? "" : ",") + i;
  return s;
}

const std::vector<std::string> kNanoOps = {
    "Conv2d", "DepthwiseConv2d", "GroupedConv2d", "Dense", "MaxPool2d", "AvgPool2d",
    "Add",    "Multiply",        "Concatenate",   "Resize", "Sigmoid", "HardSwish"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kBaseOps = Plus(kNanoOps, {"TransposedConv2d"});
const std::vector<std::string> kProOps =
    Plus(kBaseOps, {"LayerNorm", "Gelu", "Softmax", "MatMul", "Attention"});

struct BuiltinRow {
  const char* name;
  const char* channels;
  const char* max_kernel_side;
  const char* has_kov2;
  const char* sram_kib;
  bool transposed_conv;
  const std::vector<std::string>* ops;
};

const BuiltinRow kBuiltins[] = {
    {"vexa-nano", "32", "7", "", "512", false, &kNanoOps},
    {"vexa-base", "64", "11", "", "2048", true, &kBaseOps},
    {"vexa-pro", "128", "16", "1", "8192", true, &kProOps},
};

// Every way a document can name a built-in without changing it.
std::vector<std::string> FormsNaming(const std::string& arch) {
  return {
      "arch: " + arch + "\n",
      "arch: " + arch + "\nopt_level: 3\n",
      "arch: '" + arch + "'\ntarget:\n  host: llvm\n",
      "base: " + arch + "\n",
      "arch:\n  base: " + arch + "\n",
      "{arch: " + arch + "}",
  };
}

// ---------------------------------------------------------------------------
TEST(Builtins, EveryParameterInEveryNamingForm) {
  for (const BuiltinRow& row : kBuiltins) {
    for (const std::string& doc : FormsNaming(row.name)) {
      SCOPED_TRACE(doc);
      EXPECT_EQ(Query(doc, "channels"), Ok(row.channels));
      EXPECT_EQ(Query(doc, "max_kernel_side"), Ok(row.max_kernel_side));
      EXPECT_EQ(Query(doc, "has_kov2"), Ok(row.has_kov2));
      EXPECT_EQ(Query(doc, "sram_kib"), Ok(row.sram_kib));
      EXPECT_EQ(Query(doc, "parameters", 256),
                Ok("channels,max_kernel_side,has_kov2,sram_kib"));
      EXPECT_EQ(Query(doc, "operators", 512), Ok(Join(*row.ops)));
      EXPECT_EQ(Supports(doc, "TransposedConv2d"), row.transposed_conv);
    }
  }
}

TEST(Builtins, OperatorMembershipIsExact) {
  const std::vector<std::string> all = kProOps;
  for (const BuiltinRow& row : kBuiltins) {
    const std::string doc = std::string("arch: ") + row.name + "\n";
    SCOPED_TRACE(doc);
    for (const std::string& op : all) {
      bool listed = std::find(row.ops->begin(), row.ops->end(), op) != row.ops->end();
      EXPECT_EQ(Supports(doc, op), listed) << op;
    }
    for (const char* near_miss : {"conv2d", "CONV2D", "Conv2", "Conv2d ", " Conv2d", "",
                                  "Conv2d,Dense", "Dense\n"}) {
      EXPECT_FALSE(Supports(doc, near_miss)) << '"' << near_miss << '"';
    }
  }
}

TEST(Builtins, ArchitectureListAnsweredForAnyValidDocument) {
  for (const char* doc : {"arch: vexa-nano\n", "{}\n", "channels: 1\n", "base: vexa-pro\n"}) {
    SCOPED_TRACE(doc);
    EXPECT_EQ(Query(doc, "builtin_architectures", 128), Ok("vexa-nano,vexa-base,vexa-pro"));
  }
}

TEST(Builtins, NamesAreCaseSensitiveAndExact) {
  for (const char* doc : {"arch: Vexa-Pro\n", "arch: vexa-pro2\n", "arch: vexa\n", "arch: ''\n",
                          "arch: 12\n", "arch: true\n", "base: VEXA-NANO\n", "base: vexa_base\n",
                          "arch:\n  base: vexa-mega\n"}) {
    SCOPED_TRACE(doc);
    EXPECT_EQ(Query(doc, "channels"), Err(VEXAKOV_E_UNKNOWN_ARCH));
    EXPECT_EQ(Query(doc, "builtin_architectures", 128), Err(VEXAKOV_E_UNKNOWN_ARCH));
  }
}

// ---------------------------------------------------------------------------
struct DocCase {
  const char* doc;
  const char* name;
  Result want;
};

void RunCases(const std::vector<DocCase>& cases, size_t size = 256) {
  for (const DocCase& c : cases) {
    SCOPED_TRACE(std::string("doc: ") + c.doc + "name: " + c.name);
    EXPECT_EQ(Query(c.doc, c.name, size), c.want);
  }
}

TEST(Documents, BuildConfigurationIgnoresOtherKeys) {
  RunCases({
      {"arch: vexa-nano\nopt_level: 3\n", "opt_level", Err(VEXAKOV_E_UNKNOWN_PARAM)},
      {"arch: vexa-base\npasses:\n- a\n- b\ntarget:\n  host: llvm\n", "channels", Ok("64")},
      {"arch: vexa-base\npasses:\n- a\n- b\ntarget:\n  host: llvm\n", "target", Err(VEXAKOV_E_UNKNOWN_PARAM)},
      {"opt_level: 1\narch: vexa-pro\n", "sram_kib", Ok("8192")},
      // a config's own keys are not parameters, even ones shaped like them
      {"arch: vexa-nano\nchannels: 999\n", "channels", Ok("32")},
      {"arch: vexa-nano\noperators: [Gelu]\n", "operators", Ok(Join(kNanoOps))},
      {"a: &x [*x]\narch: vexa-pro\n", "channels", Ok("128")},
  });
}

TEST(Documents, InlineWithBaseOverridesAndExtends) {
  const char* d1 = "base: vexa-nano\nchannels: 48\ndsp_slices: 12\nhas_kov2: true\n";
  const char* d2 = "arch:\n  base: vexa-pro\n  sram_kib: 16384\n  vendor: acme\n";
  const char* d3 = "base: vexa-base\noperators:\n- Conv2d\n- Dense\n- Softmax\n";
  const char* d4 = "base: vexa-pro\nchannels: null\n";
  const char* d5 = "zeta: 1\nbase: vexa-nano\nalpha: 2\nmax_kernel_side: 5\n";
  RunCases({
      {d1, "channels", Ok("48")},
      {d1, "has_kov2", Ok("1")},
      {d1, "dsp_slices", Ok("12")},
      {d1, "sram_kib", Ok("512")},
      {d1, "parameters", Ok("channels,max_kernel_side,has_kov2,sram_kib,dsp_slices")},
      {d2, "sram_kib", Ok("16384")},
      {d2, "vendor", Ok("acme")},
      {d2, "channels", Ok("128")},
      {d3, "operators", Ok("Conv2d,Dense,Softmax")},
      {d3, "channels", Ok("64")},
      // a null override takes the base's parameter away
      {d4, "channels", Err(VEXAKOV_E_UNKNOWN_PARAM)},
      {d4, "parameters", Ok("max_kernel_side,has_kov2,sram_kib")},
      {d4, "max_kernel_side", Ok("16")},
      // built-in order first, then added keys in document order
      {d5, "parameters", Ok("channels,max_kernel_side,has_kov2,sram_kib,zeta,alpha")},
      {d5, "max_kernel_side", Ok("5")},
      {"base: vexa-pro\noperators: null\n", "operators", Ok(Join(kProOps))},
      {"base: vexa-pro\noperators: []\n", "operators", Ok("")},
      {"base: ~\nchannels: 8\n", "parameters", Ok("channels")},
      {"base: vexa-pro\nhas_kov2: off\n", "has_kov2", Ok("")},
      {"base: vexa-nano\nhas_kov2: Yes\n", "has_kov2", Ok("1")},
      // a flag reads as one whatever its spelling: a false one must be ""
      {"base: vexa-pro\nhas_kov2: 0\n", "has_kov2", Ok("")},
      {"base: vexa-pro\nhas_kov2: '0'\n", "has_kov2", Ok("")},
      {"base: vexa-pro\nhas_kov2: \"No\"\n", "has_kov2", Ok("")},
      {"base: vexa-pro\nhas_kov2: fAlSe\n", "has_kov2", Ok("")},
      {"base: vexa-pro\nhas_kov2: ''\n", "has_kov2", Ok("")},
      {"has_kov2: 'off'\n", "parameters", Ok("has_kov2")},
      {"base: vexa-nano\nhas_kov2: 1\n", "has_kov2", Ok("1")},
      {"base: vexa-nano\nhas_kov2: 'TRUE'\n", "has_kov2", Ok("1")},
      {"base: vexa-nano\nvendor_flag: '0'\n", "vendor_flag", Ok("0")},
      // operators as the comma-separated text "operators" answers with
      {"base: vexa-pro\noperators: Conv2d,Dense\n", "operators", Ok("Conv2d,Dense")},
      {"base: vexa-pro\noperators: ' Conv2d , ,Dense,'\n", "operators", Ok("Conv2d,Dense")},
      {"base: vexa-pro\noperators: Softmax\n", "operators", Ok("Softmax")},
      {"base: vexa-pro\noperators: ''\n", "operators", Ok("")},
      {"base: vexa-nano\nsram_kib: 0x400\n", "sram_kib", Ok("1024")},
  });
  EXPECT_TRUE(Supports(d3, "Softmax"));
  EXPECT_FALSE(Supports(d3, "Add"));
  EXPECT_FALSE(Supports("base: vexa-pro\noperators: []\n", "Conv2d"));
  EXPECT_TRUE(Supports("operators: Conv2d, Dense\n", "Dense"));
  EXPECT_FALSE(Supports("operators: Conv2d, Dense\n", " Dense"));
}

TEST(Documents, InlineWithoutBaseDefinesEverything) {
  const char* full =
      "channels: 16\nhas_kov2: false\nmax_kernel_side: 3\noperators:\n- Conv2d\n- Add\n"
      "sram_kib: 256\n";
  RunCases({
      {full, "channels", Ok("16")},
      {full, "has_kov2", Ok("")},
      {full, "max_kernel_side", Ok("3")},
      {full, "sram_kib", Ok("256")},
      {full, "parameters", Ok("channels,has_kov2,max_kernel_side,sram_kib")},
      {full, "operators", Ok("Conv2d,Add")},
      {"channels: 16\n", "sram_kib", Err(VEXAKOV_E_UNKNOWN_PARAM)},
      {"channels: 16\n", "operators", Ok("")},
      {"{}\n", "parameters", Ok("")},
      {"{}\n", "channels", Err(VEXAKOV_E_UNKNOWN_PARAM)},
      {"channels: ~\n", "parameters", Ok("")},
      {"arch: {channels: 2, operators: [A]}\n", "operators", Ok("A")},
  });
  EXPECT_TRUE(Supports(full, "Add"));
  EXPECT_FALSE(Supports(full, "Dense"));
  EXPECT_FALSE(Supports("channels: 16\n", "Conv2d"));
}

TEST(Documents, AnchorsAndAliases) {
  RunCases({
      {"base: &b vexa-pro\nvendor: *b\n", "vendor", Ok("vexa-pro")},
      {"arch:\n  operators: &o [A, B]\nextra: *o\n", "operators", Ok("A,B")},
      {"a: &n 7\nb: *n\n", "b", Ok("7")},
      {"arch: &a [*a]\n", "channels", Err(VEXAKOV_E_MALFORMED)},
      {"operators: &o [*o]\n", "operators", Err(VEXAKOV_E_MALFORMED)},
      {"a: *nowhere\n", "a", Err(VEXAKOV_E_MALFORMED)},
  });
}

// ---------------------------------------------------------------------------
struct ScalarCase {
  const char* scalar;  // as written after "v: "
  Result want;
};

void RunScalars(const std::vector<ScalarCase>& cases) {
  for (const ScalarCase& c : cases) {
    const std::string doc = std::string("v: ") + c.scalar + "\n";
    SCOPED_TRACE(doc);
    EXPECT_EQ(Query(doc, "v", 128), c.want);
  }
}

TEST(Scalars, BooleansReadAsOneOrEmpty) {
  std::vector<ScalarCase> cases;
  for (const char* t : {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"})
    cases.push_back({t, Ok("1")});
  for (const char* f : {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"})
    cases.push_back({f, Ok("")});
  // Not booleans to PyYAML: text unchanged.
  for (const char* s : {"yEs", "tRUE", "oN", "y", "Y", "n", "N", "t", "f", "1yes", "yes!"})
    cases.push_back({s, Ok(s)});
  // Quoted scalars are always strings.
  cases.push_back({"'true'", Ok("true")});
  cases.push_back({"\"no\"", Ok("no")});
  cases.push_back({"'off'", Ok("off")});
  cases.push_back({"!!bool 'tRuE'", Ok("1")});
  cases.push_back({"!!bool 'nope'", Err(VEXAKOV_E_MALFORMED)});
  RunScalars(cases);
}

TEST(Scalars, IntegersReadInDecimal) {
  RunScalars({
      {"0", Ok("0")},
      {"-0", Ok("0")},
      {"+0", Ok("0")},
      {"+7", Ok("7")},
      {"-12", Ok("-12")},
      {"1_000", Ok("1000")},
      {"0x1F", Ok("31")},
      {"-0x1f", Ok("-31")},
      {"0x_FF", Ok("255")},
      {"017", Ok("15")},
      {"0_17", Ok("15")},
      {"00", Ok("0")},
      {"0b1010", Ok("10")},
      {"-0b1", Ok("-1")},
      {"1:30", Ok("90")},
      {"-1:0", Ok("-60")},
      {"190:20:30", Ok("685230")},
      {"123456789012345678901234567890", Ok("123456789012345678901234567890")},
      {"0xFFFFFFFFFFFFFFFFFFFF", Ok("1208925819614629174706175")},
      {"0b1111111111111111111111111111111111111111111111111111111111111111",
       Ok("18446744073709551615")},
      {"01777777777777777777777", Ok("18446744073709551615")},
      {"!!int '0x10'", Ok("16")},
      // PyYAML's resolver takes these as ints but cannot construct them
      {"0x_", Err(VEXAKOV_E_MALFORMED)},
      {"0b_", Err(VEXAKOV_E_MALFORMED)},
      {"!!int twelve", Err(VEXAKOV_E_MALFORMED)},
  });
}

TEST(Scalars, OtherScalarsKeepTheirText) {
  RunScalars({
      {"'0x10'", Ok("0x10")},
      {"'12'", Ok("12")},
      {"\"007\"", Ok("007")},
      {"0o17", Ok("0o17")},
      {"08", Ok("08")},
      {"1:60", Ok("1:60")},
      {"0x", Ok("0x")},
      {"1e3", Ok("1e3")},
      {"1.5", Ok("1.5")},
      {"1.0e+3", Ok("1.0e+3")},
      {".inf", Ok(".inf")},
      {"-.5", Ok("-.5")},
      {"2001-12-14", Ok("2001-12-14")},
      {"vexa pro  x", Ok("vexa pro  x")},
      {"''", Ok("")},
      {"\"\"", Ok("")},
      {"'null'", Ok("null")},
      {"nULL", Ok("nULL")},
      {"\"tab\\there\"", Ok("tab\there")},
      {"|\n  two\n  lines\n", Ok("two\nlines\n")},
      {">-\n  folded\n  text\n", Ok("folded text")},
      {"!!str 12", Ok("12")},
      {"!!float 1", Ok("1")},
      {"\"\\u00e9t\\u00e9\"", Ok("\xc3\xa9t\xc3\xa9")},
  });
}

TEST(Scalars, NullMeansAbsent) {
  for (const char* s : {"", "~", "null", "Null", "NULL", "!!null anything"}) {
    const std::string doc = std::string("base: vexa-nano\nchannels: ") + s + "\nv: " + s + "\n";
    SCOPED_TRACE(doc);
    EXPECT_EQ(Query(doc, "v"), Err(VEXAKOV_E_UNKNOWN_PARAM));
    EXPECT_EQ(Query(doc, "channels"), Err(VEXAKOV_E_UNKNOWN_PARAM));
    EXPECT_EQ(Query(doc, "parameters", 128), Ok("max_kernel_side,has_kov2,sram_kib"));
  }
}

// ---------------------------------------------------------------------------
TEST(Statuses, MalformedDocuments) {
  const char* docs[] = {
      "",                                          // no document
      "# only a comment\n",                        //
      "---\n",                                     // null root
      "vexa-pro\n",                                // scalar root
      "[arch, vexa-pro]\n",                        // sequence root
      "arch: vexa-pro\n---\narch: vexa-nano\n",    // two documents
      "arch: 'vexa' pro\n",                       // text after a quoted scalar
      "arch: [vexa-pro\n",                         // unterminated flow
      "a: b: c\n",                                 //
      "arch: vexa-pro\n  bad indent: 1\n",         //
      "arch: [vexa-pro]\n",                        // arch must name or describe
      "arch: ~\n",                                 //
      "arch:\n",                                   //
      "arch: vexa-pro\narch: vexa-nano\n",         // duplicate arch
      "channels: 1\nchannels: 2\n",                // duplicate parameter
      "v: [1]\n",                                  // non-scalar parameter
      "v: {a: 1}\n",                               //
      "? [a]\n: 1\n",                              // non-scalar key
      "~: 1\n",                                    // null key
      "base: [vexa-pro]\n",                        //
      "base: {name: vexa-pro}\n",                  //
      "operators: 12\n",                           // neither a list nor text
      "operators: true\n",                         //
      "has_kov2: 2\n",                             // a flag neither true nor false
      "has_kov2: maybe\n",                         //
      "base: vexa-pro\nhas_kov2: 0.0\n",           //
      "arch:\n  has_kov2: 'nope'\n",              //
      "operators: [1]\n",                          // not strings
      "operators: [true]\n",                       //
      "operators: [~]\n",                          //
      "operators: [[Conv2d]]\n",                   //
      "parameters: a\n",                           // reserved query names
      "builtin_architectures: a\n",                //
      "arch: {arch: vexa-pro}\n",                  //
      "v: !custom x\n",                            // safe_load cannot build it
      "v: \"a\\0b\"\n",                            // NUL cannot cross the ABI
      "\"a\\0b\": 1\n",                            //
      "base: vexa-pro\noperators: [\"Con\\0v\"]\n",  //
  };
  for (const char* doc : docs) {
    SCOPED_TRACE(std::string("doc: ") + doc);
    EXPECT_EQ(Query(doc, "channels"), Err(VEXAKOV_E_MALFORMED));
    EXPECT_EQ(Query(doc, "builtin_architectures", 128), Err(VEXAKOV_E_MALFORMED));
    EXPECT_FALSE(Supports(doc, "Conv2d"));
  }
  // Quoted operator ids are strings, whatever they look like.
  EXPECT_EQ(Query("operators: ['1', 'true']\n", "operators"), Ok("1,true"));
}

TEST(Statuses, EveryStatusIsDistinctPositiveAndReachable) {
  const std::string big(VEXAKOV_MAX_ARCH_BYTES + 1, '#');
  struct Row {
    const char* what;
    std::string doc;
    const char* name;
    size_t size;
    int want;
  } rows[] = {
      {"ok", "arch: vexa-pro\n", "channels", 40, VEXAKOV_OK},
      {"too large", big, "channels", 40, VEXAKOV_E_TOO_LARGE},
      {"malformed", "arch: [\n", "channels", 40, VEXAKOV_E_MALFORMED},
      {"unknown arch", "arch: vexa-max\n", "channels", 40, VEXAKOV_E_UNKNOWN_ARCH},
      {"unknown param", "arch: vexa-pro\n", "frequency", 40, VEXAKOV_E_UNKNOWN_PARAM},
      {"no room", "arch: vexa-pro\n", "channels", 3, VEXAKOV_E_NO_ROOM},
      {"out_size 0", "arch: vexa-pro\n", "channels", 0, VEXAKOV_E_NULL_ARG},
  };
  std::vector<int> seen;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(Query(r.doc, r.name, r.size).status, r.want);
    if (r.want != VEXAKOV_OK) {
      EXPECT_GT(r.want, 0);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), r.want), 0) << "status reused";
    }
    seen.push_back(r.want);
  }
  EXPECT_GT(VEXAKOV_E_INTERNAL, 0);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), VEXAKOV_E_INTERNAL), 0);
}

TEST(Statuses, UnknownParameterNames) {
  for (const char* name : {"Channels", "channel", "channels ", "", "opt_level", "base", "arch",
                           "Parameters", "operator", "TransposedConv2d"}) {
    SCOPED_TRACE(std::string("name: \"") + name + "\"");
    EXPECT_EQ(Query("arch: vexa-pro\n", name), Err(VEXAKOV_E_UNKNOWN_PARAM));
  }
}

TEST(Statuses, NullPointersAndZeroSize) {
  char out[16];
  const char* doc = "arch: vexa-pro\n";
  struct Row {
    const char* arch;
    const char* name;
    char* out;
    size_t size;
  } rows[] = {
      {nullptr, "channels", out, sizeof out},
      {doc, nullptr, out, sizeof out},
      {doc, "channels", nullptr, sizeof out},
      {doc, "channels", nullptr, 0},
      {doc, "channels", out, 0},
      {nullptr, nullptr, nullptr, 0},
  };
  for (const Row& r : rows) {
    std::memset(out, kCanary, sizeof out);
    EXPECT_EQ(ArchqueryParameter_Py(r.arch, r.name, r.out, r.size), VEXAKOV_E_NULL_ARG);
    size_t cleared = (r.out != nullptr && r.size > 0) ? 1 : 0;
    if (cleared) EXPECT_EQ(out[0], '\0');
    for (size_t i = cleared; i < sizeof out; ++i) ASSERT_EQ((unsigned char)out[i], kCanary) << i;
  }
  EXPECT_EQ(ArchSupportsOperator_Py(nullptr, "Conv2d"), 0);
  EXPECT_EQ(ArchSupportsOperator_Py(doc, nullptr), 0);
  EXPECT_EQ(ArchSupportsOperator_Py(nullptr, nullptr), 0);
}

// ---------------------------------------------------------------------------
TEST(Buffers, ValueOfLengthNNeedsNPlusOne) {
  struct Row {
    const char* doc;
    const char* name;
    std::string value;
  } rows[] = {
      {"arch: vexa-pro\n", "channels", "128"},
      {"arch: vexa-nano\n", "channels", "32"},
      {"arch: vexa-pro\n", "has_kov2", "1"},
      {"arch: vexa-nano\n", "has_kov2", ""},
      {"arch: vexa-pro\n", "parameters", "channels,max_kernel_side,has_kov2,sram_kib"},
      {"arch: vexa-pro\n", "operators", Join(kProOps)},
      {"{}\n", "builtin_architectures", "vexa-nano,vexa-base,vexa-pro"},
      {"v: 0xFFFFFFFFFFFFFFFFFFFF\n", "v", "1208925819614629174706175"},
  };
  for (const Row& r : rows) {
    const size_t n = r.value.size();
    SCOPED_TRACE(std::string(r.doc) + r.name);
    EXPECT_EQ(Query(r.doc, r.name, n + 1), Ok(r.value));
    EXPECT_EQ(Query(r.doc, r.name, n + 64), Ok(r.value));
    if (n > 0) {
      EXPECT_EQ(Query(r.doc, r.name, n), Err(VEXAKOV_E_NO_ROOM));
      EXPECT_EQ(Query(r.doc, r.name, 1), Err(VEXAKOV_E_NO_ROOM));
    }
  }
}

TEST(Buffers, EverySizeFromZeroToPastTheValue) {
  const std::string doc = "arch: vexa-base\n";
  const std::string list = Join(kBaseOps);
  for (size_t size = 0; size <= list.size() + 2; ++size) {
    SCOPED_TRACE(size);
    Result r = Query(doc, "operators", size);
    if (size == 0) {
      EXPECT_EQ(r, Err(VEXAKOV_E_NULL_ARG));
    } else if (size <= list.size()) {
      EXPECT_EQ(r, Err(VEXAKOV_E_NO_ROOM));
    } else {
      EXPECT_EQ(r, Ok(list));
    }
  }
}

// ---------------------------------------------------------------------------
std::string Nested(const std::string& open, const std::string& close, int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

// The root mapping is one level; `levels` more collections nest below it.
std::string ConfigNestedBelow(int levels, bool flow) {
  std::string doc = "arch: vexa-pro\nx:";
  if (flow) return doc + " " + Nested("[", "]", levels) + "\n";
  doc += "\n";
  for (int i = 0; i < levels; ++i) doc += std::string(size_t(i) + 1, ' ') + "-\n";
  return doc;
}

TEST(Robustness, DepthLimitIsExact) {
  for (bool flow : {true, false}) {
    SCOPED_TRACE(flow ? "flow" : "block");
    EXPECT_EQ(Query(ConfigNestedBelow(VEXAKOV_MAX_DEPTH - 1, flow), "channels"), Ok("128"));
    EXPECT_EQ(Query(ConfigNestedBelow(VEXAKOV_MAX_DEPTH, flow), "channels"),
              Err(VEXAKOV_E_MALFORMED));
  }
}

std::vector<std::string> HostileDocuments() {
  std::vector<std::string> docs;
  docs.push_back(std::string(100000, '['));
  docs.push_back(std::string(60000, '['));
  docs.push_back(std::string(60000, '{'));
  docs.push_back(Nested("[", "]", 30000));
  docs.push_back("arch: vexa-pro\nx: " + Nested("{a: ", "}", 10000));
  std::string dashes;
  for (int i = 0; i < 30000; ++i) dashes += "- ";
  docs.push_back(dashes + "x\n");
  std::string indented;
  for (int i = 0; i < 300; ++i) indented += std::string(size_t(i), ' ') + "a:\n";
  docs.push_back(indented);
  std::string questions;
  for (int i = 0; i < 20000; ++i) questions += "? ";
  docs.push_back(questions);
  std::string anchors = "arch: vexa-pro\nx: ";
  for (int i = 0; i < 5000; ++i) anchors += "&a" + std::to_string(i) + " [";
  docs.push_back(anchors);
  return docs;
}

TEST(Robustness, DeepNestingIsRejectedNotRecursedOn) {
  for (const std::string& doc : HostileDocuments()) {
    SCOPED_TRACE(doc.substr(0, 40));
    Result r = Query(doc, "channels");
    EXPECT_TRUE(r == Err(VEXAKOV_E_MALFORMED) || r == Err(VEXAKOV_E_TOO_LARGE)) << r;
    EXPECT_FALSE(Supports(doc, "Conv2d"));
  }
}

// Runs `fn` on a thread with a deliberately small stack: far less than the
// default, so passing here leaves a wide margin on an ordinary thread.
template <typename Fn>
void OnSmallStack(Fn fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 512 * 1024), 0);
  pthread_t t;
  auto trampoline = [](void* p) -> void* {
    (*static_cast<Fn*>(p))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&t, &attr, trampoline, &fn), 0);
  pthread_join(t, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(Robustness, DeepDocumentsOnSmallStackThread) {
  std::vector<std::string> docs = HostileDocuments();
  docs.push_back(ConfigNestedBelow(VEXAKOV_MAX_DEPTH - 1, true));
  docs.push_back(ConfigNestedBelow(VEXAKOV_MAX_DEPTH - 1, false));
  std::vector<int> statuses(docs.size(), -1);
  OnSmallStack([&] {
    char out[40];
    for (size_t i = 0; i < docs.size(); ++i) {
      statuses[i] = ArchqueryParameter_Py(docs[i].c_str(), "channels", out, sizeof out);
    }
  });
  for (size_t i = 0; i + 2 < docs.size(); ++i) EXPECT_NE(statuses[i], VEXAKOV_OK) << i;
  EXPECT_EQ(statuses[docs.size() - 2], VEXAKOV_OK);
  EXPECT_EQ(statuses[docs.size() - 1], VEXAKOV_OK);
}

TEST(Robustness, SizeCapIsExact) {
  const std::string head = "arch: vexa-pro\n#";
  std::string at_cap = head + std::string(VEXAKOV_MAX_ARCH_BYTES - head.size() - 1, 'x') + "\n";
  ASSERT_EQ(at_cap.size(), size_t(VEXAKOV_MAX_ARCH_BYTES));
  EXPECT_EQ(Query(at_cap, "channels"), Ok("128"));
  EXPECT_EQ(Query(at_cap + "\n", "channels"), Err(VEXAKOV_E_TOO_LARGE));
  EXPECT_EQ(Query(std::string(8 << 20, ' '), "channels"), Err(VEXAKOV_E_TOO_LARGE));
  EXPECT_FALSE(Supports(at_cap + "\n", "Conv2d"));
  EXPECT_TRUE(Supports(at_cap, "Conv2d"));
}

TEST(Robustness, NeverReadsPastTheCap) {
  // No terminator at all: only the cap stops the length scan (ASan checks it).
  char* text = static_cast<char*>(std::malloc(VEXAKOV_MAX_ARCH_BYTES + 1));
  ASSERT_NE(text, nullptr);
  std::memset(text, 'a', VEXAKOV_MAX_ARCH_BYTES + 1);
  char out[8];
  EXPECT_EQ(ArchqueryParameter_Py(text, "channels", out, sizeof out), VEXAKOV_E_TOO_LARGE);
  EXPECT_EQ(ArchSupportsOperator_Py(text, "Conv2d"), 0);
  std::free(text);
}

TEST(Robustness, LargeValidDocuments) {
  // Many parameters and operators, well under the size cap.
  std::string doc = "base: vexa-nano\noperators:\n";
  for (int i = 0; i < 2000; ++i) doc += "- Op" + std::to_string(i) + "\n";
  for (int i = 0; i < 2000; ++i) doc += "p" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  ASSERT_LT(doc.size(), size_t(VEXAKOV_MAX_ARCH_BYTES));
  EXPECT_EQ(Query(doc, "p1999"), Ok("1999"));
  EXPECT_EQ(Query(doc, "channels"), Ok("32"));
  EXPECT_TRUE(Supports(doc, "Op1999"));
  EXPECT_FALSE(Supports(doc, "Conv2d"));
  EXPECT_EQ(Query(doc, "operators", 40), Err(VEXAKOV_E_NO_ROOM));
}

// ---------------------------------------------------------------------------
struct Probe {
  std::string doc;
  std::string name;
  size_t size;
};

std::vector<Probe> Probes() {
  std::vector<Probe> probes;
  const char* names[] = {"channels", "has_kov2", "sram_kib", "parameters", "operators", "x"};
  std::vector<std::string> docs;
  for (const BuiltinRow& row : kBuiltins) {
    for (const std::string& d : FormsNaming(row.name)) docs.push_back(d);
  }
  // More distinct texts than any cache would keep, so entries churn.
  for (int i = 0; i < 150; ++i) {
    docs.push_back("base: vexa-base\nchannels: " + std::to_string(i) + "\nx: " +
                   std::to_string(i * 7) + "\n");
  }
  docs.push_back("arch: [\n");
  docs.push_back("arch: vexa-none\n");
  for (const std::string& d : docs) {
    for (const char* n : names) {
      probes.push_back({d, n, 40});
      probes.push_back({d, n, 4});
    }
  }
  return probes;
}

TEST(Threads, ConcurrentAnswersMatchSerialOnes) {
  const std::vector<Probe> probes = Probes();
  std::vector<Result> serial;
  std::vector<bool> serial_supports;
  for (const Probe& p : probes) {
    serial.push_back(Query(p.doc, p.name, p.size));
    serial_supports.push_back(Supports(p.doc, "Dense"));
  }
  constexpr int kThreads = 8;
  constexpr int kRounds = 3;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<char> out(64);
      for (int round = 0; round < kRounds; ++round) {
        for (size_t k = 0; k < probes.size(); ++k) {
          // Each thread walks the probes in its own order.
          size_t i = (k * (2 * size_t(t) + 1) + size_t(round) * 31) % probes.size();
          const Probe& p = probes[i];
          int status = ArchqueryParameter_Py(p.doc.c_str(), p.name.c_str(), out.data(), p.size);
          std::string text = status == VEXAKOV_OK ? std::string(out.data()) : "";
          if (!(Result{status, text} == serial[i])) ++mismatches[size_t(t)];
          int sup = ArchSupportsOperator_Py(p.doc.c_str(), "Dense");
          if ((sup == 1) != serial_supports[i] || (sup != 0 && sup != 1)) ++mismatches[size_t(t)];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[size_t(t)], 0) << "thread " << t;
}

}  // namespace
