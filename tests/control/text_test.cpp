// The text conversions and the argument list of a service call.
#include <string>

#include "ansi_text.h"
#include "control_fixture.h"
#include "service_dispatch.h"

namespace {

TEST(AnsiTextTest, KeepsNullEmptyAndLongTextsApart) {
  kr::AnsiText text;
  EXPECT_TRUE(text.Assign(nullptr));
  EXPECT_EQ(nullptr, text.get());

  kr::UniqueBstr empty(SysAllocString(L""));
  EXPECT_TRUE(text.Assign(empty.get()));
  ASSERT_NE(nullptr, text.get());
  EXPECT_STREQ("", text.get());

  // An embedded NUL ends the text.
  kr::UniqueBstr embedded(SysAllocStringLen(L"ab\0cd", 5));
  EXPECT_TRUE(text.Assign(embedded.get()));
  EXPECT_STREQ("ab", text.get());

  // Longer than the inline buffer, and reused for a short one afterwards.
  std::wstring longText(1000, L'x');
  longText += L"end";
  kr::UniqueBstr big(SysAllocString(longText.c_str()));
  EXPECT_TRUE(text.Assign(big.get()));
  EXPECT_EQ(std::string(1000, 'x') + "end", text.get());
  std::wstring edge(255, L'y');  // exactly fills the inline buffer
  EXPECT_TRUE(text.Assign(edge.c_str(), static_cast<UINT>(edge.size())));
  EXPECT_EQ(std::string(255, 'y'), text.get());
  EXPECT_TRUE(text.Assign(L"short", 5));
  EXPECT_STREQ("short", text.get());
}

TEST(AnsiTextTest, NewStringsKeepNullAndEmptyApart) {
  EXPECT_EQ(nullptr, kr::AnsiToBstr(nullptr));
  kr::UniqueBstr empty(kr::AnsiToBstr(""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(0u, SysStringLen(empty.get()));
  kr::UniqueBstr text(kr::AnsiToBstr("Receipt 12"));
  ASSERT_TRUE(text);
  EXPECT_EQ(10u, SysStringLen(text.get()));
  EXPECT_STREQ(L"Receipt 12", text.get());

  // A round trip through the code page keeps what the code page holds.
  if (GetACP() == 1252) {
    kr::AnsiText ansi;
    ansi.Assign(L"Caf\u00e9 \u20ac \u0416", 8);
    kr::UniqueBstr back(kr::AnsiToBstr(ansi.get()));
    EXPECT_STREQ(L"Caf\u00e9 \u20ac ?", back.get());
  }
}

TEST(TextArgumentTest, NewStringsAreTheCodePageRoundTripOfTheCallersText) {
  kr::TextArgument arg;
  kr::AnsiText ansi;
  arg.Assign(nullptr);
  EXPECT_EQ(nullptr, arg.Ansi(ansi));
  EXPECT_EQ(nullptr, arg.NewString());

  kr::UniqueBstr empty(SysAllocString(L""));
  arg.Assign(empty.get());
  kr::UniqueBstr emptyCopy(arg.NewString());
  ASSERT_TRUE(emptyCopy);
  EXPECT_EQ(0u, SysStringLen(emptyCopy.get()));
  EXPECT_STREQ("", arg.Ansi(ansi));

  // ASCII: a copy of its own, up to the first NUL.
  kr::UniqueBstr ascii(SysAllocStringLen(L"Bread\0junk", 10));
  arg.Assign(ascii.get());
  kr::UniqueBstr copy(arg.NewString());
  EXPECT_NE(ascii.get(), copy.get());
  EXPECT_EQ(5u, SysStringLen(copy.get()));
  EXPECT_STREQ(L"Bread", copy.get());
  EXPECT_STREQ("Bread", arg.Ansi(ansi));

  // Beyond ASCII the code page decides what survives.
  if (GetACP() == 1252) {
    kr::UniqueBstr wide(SysAllocString(L"Caf\u00e9 \u0416"));
    arg.Assign(wide.get());
    kr::UniqueBstr back(arg.NewString());
    EXPECT_STREQ(L"Caf\u00e9 ?", back.get());
    EXPECT_STREQ("Caf\xe9 ?", arg.Ansi(ansi));
  }
}

TEST(TextArgumentTest, OnlyPlainAsciiGoesOnUnchanged) {
  kr::TextArgument arg;
  arg.Assign(nullptr);
  EXPECT_TRUE(arg.SurvivesRoundTrip());
  // Every length around the four characters read at a time, with one
  // character that spoils the text at every position.
  for (UINT length = 0; length <= 9; ++length) {
    std::wstring text(length, L'\x7f');
    if (length > 0) text[0] = L'\x01';
    kr::UniqueBstr plain(SysAllocStringLen(text.data(), length));
    arg.Assign(plain.get());
    EXPECT_TRUE(arg.SurvivesRoundTrip()) << length;
    for (UINT at = 0; at < length; ++at) {
      for (wchar_t spoiler : {L'\0', L'\x80', L'\xe9', L'\x416'}) {
        std::wstring spoilt = text;
        spoilt[at] = spoiler;
        kr::UniqueBstr s(SysAllocStringLen(spoilt.data(), length));
        arg.Assign(s.get());
        EXPECT_FALSE(arg.SurvivesRoundTrip()) << length << " " << at << " " << int(spoiler);
      }
    }
  }
  // A string of an odd number of bytes cannot come back as it was.
  kr::UniqueBstr odd(SysAllocStringByteLen("abc", 3));
  arg.Assign(odd.get());
  EXPECT_FALSE(arg.SurvivesRoundTrip());
}

TEST(ServiceArgsTest, StoresArgumentsLastFirstAndOwnsOnlyItsStrings) {
  kr::ComInit com;
  kr_test::AllocationSpy spy;
  ASSERT_TRUE(spy.Active());
  SysFreeString(SysAllocString(L"warm"));
  LONG number = 0;
  BSTR callerText = nullptr;
  spy.Mark();
  {
    kr::ServiceArgs args(4);
    args.AddString("first");
    args.AddLong(2);
    args.AddLongRef(&number);
    args.AddStringRef(&callerText);
    args.AddString("beyond the count");  // dropped, and freed
    DISPPARAMS* p = args.params();
    ASSERT_EQ(4u, p->cArgs);
    EXPECT_EQ(0u, p->cNamedArgs);
    EXPECT_EQ(VT_BYREF | VT_BSTR, p->rgvarg[0].vt);
    EXPECT_EQ(&callerText, p->rgvarg[0].pbstrVal);
    EXPECT_EQ(&number, p->rgvarg[1].plVal);
    EXPECT_EQ(2, p->rgvarg[2].lVal);
    EXPECT_EQ(VT_BSTR, p->rgvarg[3].vt);
    EXPECT_STREQ(L"first", p->rgvarg[3].bstrVal);
    EXPECT_EQ(1u, spy.LiveSinceMark());
  }
  EXPECT_EQ(0u, spy.LiveSinceMark()) << spy.DescribeLiveSinceMark();
  kr::ServiceArgs none(0);
  EXPECT_EQ(nullptr, none.params()->rgvarg);
  EXPECT_EQ(0u, none.params()->cArgs);
}

}  // namespace
