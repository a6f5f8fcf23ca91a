// The type library carried by the built module, read back member by member
// and compared with the control's member and event tables.
#include <set>
#include <string>

#include "control_fixture.h"
#include "member_table.h"
#include "opos.h"
#include "service_methods.h"

namespace {

using kr::ComPtr;
using kr::kMembers;

// The three spellings in which the type library differs from the tables.
std::wstring LibraryName(const char* tableName) {
  std::string name = tableName;
  if (name == "CheckHealthText") name = "CheckHealtText";
  if (name == "CapIndependentHeader") name = "CapIndipendentHeader";
  if (name == "OutputIDEvent") name = "OutputCompleteEvent";
  return std::wstring(name.begin(), name.end());
}

// The type the library declares for a table type: booleans are 8-bit
// integers as properties and longs as parameters.
VARTYPE LibraryPropertyType(VARTYPE t) {
  return t == VT_BOOL ? VARTYPE{VT_I1} : t;
}
VARTYPE LibraryParamType(VARTYPE t) {
  return t == VT_BOOL ? VARTYPE{VT_I4} : t;
}

// Compares a TYPEDESC with a table type (VT_BYREF|x reads as a pointer to x).
::testing::AssertionResult SameType(const TYPEDESC& desc, VARTYPE expected) {
  if (expected & VT_BYREF) {
    VARTYPE base = expected & ~VT_BYREF;
    if (desc.vt == VT_PTR && desc.lptdesc && desc.lptdesc->vt == base) {
      return ::testing::AssertionSuccess();
    }
  } else if (desc.vt == expected) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "type " << desc.vt << (desc.vt == VT_PTR && desc.lptdesc ? " to " : "")
         << (desc.vt == VT_PTR && desc.lptdesc ? desc.lptdesc->vt : 0) << ", expected " << expected;
}

std::wstring Documentation(ITypeInfo* info, MEMBERID id, std::wstring* doc = nullptr) {
  kr::UniqueBstr name, text, helpFile;
  DWORD context = 0;
  EXPECT_EQ(S_OK, info->GetDocumentation(id, name.put(), text.put(), &context, helpFile.put()));
  if (doc) *doc = text ? text.get() : L"";
  EXPECT_FALSE(helpFile) << "member " << id;
  EXPECT_EQ(0u, context) << "member " << id;
  return name ? name.get() : L"";
}

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(LoadLibraryW(L"Kerunel.ocx"));
    ASSERT_TRUE(module_);
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(module_.get(), path, MAX_PATH), 0u);
    ASSERT_EQ(S_OK, LoadTypeLibEx(path, REGKIND_NONE, library_.put()));
  }

  ComPtr<ITypeInfo> Info(REFGUID guid) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(S_OK, library_->GetTypeInfoOfGuid(guid, info.put()));
    return info;
  }

  // Checks a dispatch function against a table entry's name, result and
  // parameters.
  void ExpectFunction(ITypeInfo* info, UINT index, const char* tableName, DISPID dispid,
                      VARTYPE result, UINT paramCount, const kr::MemberParam* params) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &f));
    auto release = kr::MakeScopeGuard([&] { info->ReleaseFuncDesc(f); });
    SCOPED_TRACE(tableName);
    EXPECT_EQ(dispid, f->memid);
    EXPECT_EQ(FUNC_DISPATCH, f->funckind);
    EXPECT_EQ(INVOKE_FUNC, f->invkind);
    EXPECT_EQ(0, f->wFuncFlags);
    EXPECT_EQ(0, f->cParamsOpt);
    EXPECT_EQ(result == VT_EMPTY ? VARTYPE{VT_VOID} : result, f->elemdescFunc.tdesc.vt);
    ASSERT_EQ(static_cast<SHORT>(paramCount), f->cParams);

    BSTR names[kr::kMaxMemberParams + 1] = {};
    UINT got = 0;
    ASSERT_EQ(S_OK, info->GetNames(f->memid, names, kr::kMaxMemberParams + 1, &got));
    std::vector<kr::UniqueBstr> owned;
    for (UINT i = 0; i < got; ++i) owned.emplace_back(names[i]);
    ASSERT_EQ(paramCount + 1, got);
    EXPECT_EQ(LibraryName(tableName), names[0]);
    for (UINT p = 0; p < paramCount; ++p) {
      SCOPED_TRACE(params[p].name);
      EXPECT_EQ(std::wstring(params[p].name, params[p].name + strlen(params[p].name)),
                names[p + 1]);
      EXPECT_TRUE(SameType(f->lprgelemdescParam[p].tdesc, LibraryParamType(params[p].type)));
      // Neither in nor out, no default value.
      EXPECT_EQ(PARAMFLAG_NONE, f->lprgelemdescParam[p].paramdesc.wParamFlags);
    }
    std::wstring doc;
    Documentation(info, f->memid, &doc);
    EXPECT_EQ(L"", doc);
  }

  kr::ComInit com_;
  kr::UniqueModule module_;
  ComPtr<ITypeLib> library_;
};

TEST_F(TypeLibraryTest, LibraryIdentityFlagsAndOrderOfTypes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, library_->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(kr::kLibId, attr->guid));
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(0x0409u, attr->lcid);
  EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
  EXPECT_EQ(LIBFLAG_FCONTROL, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
  library_->ReleaseTLibAttr(attr);

  kr::UniqueBstr name, doc, helpFile;
  ASSERT_EQ(S_OK, library_->GetDocumentation(-1, name.put(), doc.put(), nullptr, helpFile.put()));
  EXPECT_STREQ(L"KERUNELLib", name.get());
  EXPECT_STREQ(L"Tarvello Kerunel Control Object", doc.get());
  EXPECT_FALSE(helpFile);

  ASSERT_EQ(3u, library_->GetTypeInfoCount());
  const GUID* order[] = {&kr::kDispatchIid, &kr::kEventsIid, &kr::kControlClsid};
  const wchar_t* names[] = {L"_DKerunel", L"_DKerunelEvents", L"Kerunel"};
  for (UINT i = 0; i < 3; ++i) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library_->GetTypeInfo(i, info.put()));
    TYPEATTR* a = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&a));
    EXPECT_TRUE(IsEqualGUID(*order[i], a->guid)) << i;
    info->ReleaseTypeAttr(a);
    kr::UniqueBstr typeName;
    ASSERT_EQ(S_OK, library_->GetDocumentation(i, typeName.put(), nullptr, nullptr, nullptr));
    EXPECT_STREQ(names[i], typeName.get());
  }
  ComPtr<ITypeInfo> none;
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, library_->GetTypeInfo(3, none.put()));
}

TEST_F(TypeLibraryTest, DispatchInterfaceDeclaresEveryTableMember) {
  ComPtr<ITypeInfo> info = Info(kr::kDispatchIid);
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
  EXPECT_EQ(TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
  EXPECT_EQ(kr::kPropertyCount, attr->cVars);
  EXPECT_EQ(kr::kMemberCount - kr::kPropertyCount, attr->cFuncs);
  EXPECT_EQ(1, attr->cImplTypes);  // IDispatch, from stdole2
  info->ReleaseTypeAttr(attr);
  std::wstring doc;
  Documentation(info.get(), MEMBERID_NIL, &doc);
  EXPECT_EQ(L"Disp Interface for Kerunel Control Object", doc);

  // IDispatch comes from the imported standard library.
  HREFTYPE base = 0;
  ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &base));
  ComPtr<ITypeInfo> dispatch;
  ASSERT_EQ(S_OK, info->GetRefTypeInfo(base, dispatch.put()));
  TYPEATTR* baseAttr = nullptr;
  ASSERT_EQ(S_OK, dispatch->GetTypeAttr(&baseAttr));
  EXPECT_TRUE(IsEqualGUID(IID_IDispatch, baseAttr->guid));
  dispatch->ReleaseTypeAttr(baseAttr);

  // Properties: dispatch variables in DISPID order.
  for (UINT i = 0; i < static_cast<UINT>(kr::kPropertyCount); ++i) {
    const kr::Member& m = kMembers[i];
    SCOPED_TRACE(m.name);
    ASSERT_TRUE(m.isProperty);
    VARDESC* v = nullptr;
    ASSERT_EQ(S_OK, info->GetVarDesc(i, &v));
    EXPECT_EQ(m.dispid, v->memid);
    EXPECT_EQ(VAR_DISPATCH, v->varkind);
    EXPECT_EQ(0, v->wVarFlags);
    EXPECT_TRUE(SameType(v->elemdescVar.tdesc, LibraryPropertyType(m.type)));
    info->ReleaseVarDesc(v);
    std::wstring propertyDoc;
    EXPECT_EQ(LibraryName(m.name), Documentation(info.get(), m.dispid, &propertyDoc));
    EXPECT_EQ(L"", propertyDoc);
  }
  VARDESC* past = nullptr;
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetVarDesc(kr::kPropertyCount, &past));

  // Methods: dispatch functions in DISPID order.
  for (int i = kr::kPropertyCount; i < kr::kMemberCount; ++i) {
    const kr::Member& m = kMembers[i];
    ASSERT_FALSE(m.isProperty) << m.name;
    ExpectFunction(info.get(), i - kr::kPropertyCount, m.name, m.dispid, m.type, m.paramCount,
                   m.params);
  }
  FUNCDESC* pastFunction = nullptr;
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND,
            info->GetFuncDesc(kr::kMemberCount - kr::kPropertyCount, &pastFunction));
}

TEST_F(TypeLibraryTest, EventInterfaceDeclaresTheFourEvents) {
  ComPtr<ITypeInfo> info = Info(kr::kEventsIid);
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
  EXPECT_EQ(TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags);
  EXPECT_EQ(0, attr->cVars);
  EXPECT_EQ(kr::kEventCount, attr->cFuncs);
  info->ReleaseTypeAttr(attr);
  std::wstring doc;
  Documentation(info.get(), MEMBERID_NIL, &doc);
  EXPECT_EQ(L"Event Interface for Kerunel Control Object", doc);

  for (int i = 0; i < kr::kEventCount; ++i) {
    const kr::EventEntry& e = kr::kEvents[i];
    EXPECT_EQ(i + 1, e.dispid);
    ExpectFunction(info.get(), i, e.name, e.dispid, VT_EMPTY, e.paramCount, e.params);
  }
}

TEST_F(TypeLibraryTest, CoclassIsACreatableControlWithDefaultAndSourceInterfaces) {
  ComPtr<ITypeInfo> info = Info(kr::kControlClsid);
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_COCLASS, attr->typekind);
  EXPECT_EQ(TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, attr->wTypeFlags);
  ASSERT_EQ(2, attr->cImplTypes);
  info->ReleaseTypeAttr(attr);
  std::wstring doc;
  Documentation(info.get(), MEMBERID_NIL, &doc);
  EXPECT_EQ(L"Kerunel Control", doc);

  const GUID* expected[] = {&kr::kDispatchIid, &kr::kEventsIid};
  const INT flags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE};
  for (UINT i = 0; i < 2; ++i) {
    INT implFlags = 0;
    ASSERT_EQ(S_OK, info->GetImplTypeFlags(i, &implFlags));
    EXPECT_EQ(flags[i], implFlags);
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(i, &ref));
    ComPtr<ITypeInfo> implemented;
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, implemented.put()));
    TYPEATTR* a = nullptr;
    ASSERT_EQ(S_OK, implemented->GetTypeAttr(&a));
    EXPECT_TRUE(IsEqualGUID(*expected[i], a->guid)) << i;
    implemented->ReleaseTypeAttr(a);
  }
}

// The member table itself, against the OPOS numbering rules it must follow.
TEST(MemberTableTest, FollowsTheOposNumberingAndAccessRules) {
  int booleans = 0;
  std::set<std::string> writable;
  for (int i = 0; i < kr::kMemberCount; ++i) {
    const kr::Member& m = kMembers[i];
    SCOPED_TRACE(m.name);
    EXPECT_EQ(i == kr::kMemberCount - 1 ? KR_DISPID_AboutBox : i + 1, m.dispid);
    EXPECT_EQ(&m, kr::FindMember(m.dispid));
    EXPECT_EQ(i < kr::kPropertyCount, m.isProperty);
    if (m.type == VT_BOOL && m.isProperty) ++booleans;
    if (m.writable) {
      writable.insert(m.name);
      EXPECT_NE(VT_BSTR, m.type);  // no string property is writable
    }
    if (m.dispid >= KR_DISPID_CapAdditionalLines && m.dispid <= KR_DISPID_CapXReport) {
      EXPECT_EQ(VT_BOOL, m.type);
      EXPECT_EQ(16501 + (m.dispid - 18), m.propertyIndex);
    }
    if (m.isProperty && m.action == kr::MemberAction::kRoutedProperty) {
      // String properties live above the string base, numbers below it.
      EXPECT_EQ(m.type == VT_BSTR, m.propertyIndex > opos::PIDX_STRING_BASE);
    }
    if (m.action == kr::MemberAction::kForward || m.action == kr::MemberAction::kClose) {
      // A forwarded method calls the service method of its own name.
      std::string own = m.name == std::string("Release_") ? "Release" : m.name;
      const wchar_t* service = kr::kServiceMethods[m.service].name;
      EXPECT_EQ(std::wstring(own.begin(), own.end()), service);
      EXPECT_EQ(VT_I4, m.type);
    }
  }
  EXPECT_EQ(59, booleans);
  EXPECT_EQ((std::set<std::string>{"BinaryConversion", "DeviceEnabled", "FreezeEvents",
                                   "PowerNotify", "AsyncMode", "CheckTotal", "DuplicateReceipt",
                                   "FlagWhenIdle", "SlipSelection"}),
            writable);
  EXPECT_EQ(nullptr, kr::FindMember(0));
  EXPECT_EQ(nullptr, kr::FindMember(154));
  EXPECT_EQ(nullptr, kr::FindMember(DISPID_VALUE - 1));
}

}  // namespace
