// The control's member table and event table: every member a caller can
// reach through the dispatch interface, with what the one generic dispatch
// path needs to carry it out.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oleauto.h>

#include <cstdint>

namespace kr {

// What the dispatch path does with a member.
enum class MemberAction : uint8_t {
  kRoutedProperty,  // read/written through the Service Object by property index
  kOwnDescription,  // ControlObjectDescription, answered by the control
  kOwnVersion,      // ControlObjectVersion, answered by the control
  kOpen,
  kClose,
  kForward,    // a pass-through to the Service Object method `service`
  kFireEvent,  // a Service Object callback that fires event `event`
  kProcessId,  // SOProcessID
  kAboutBox,
};

constexpr int kMaxMemberParams = 6;

// A parameter: name (as in the type library) and the type the dispatch
// layer converts the argument to: VT_I4, VT_BSTR, VT_BOOL, VT_CY,
// VT_BYREF|VT_I4 or VT_BYREF|VT_BSTR.
struct MemberParam {
  const char* name;
  VARTYPE type;
};

struct Member {
  const char* name;  // the member-table spelling, matched by GetIDsOfNames
  DISPID dispid;
  bool isProperty;
  bool writable;  // properties only
  MemberAction action;
  VARTYPE type;        // property value or method result; VT_EMPTY for none
  long propertyIndex;  // routed properties only
  int8_t service;      // kForward: index in the service method table
  int8_t event;        // kFireEvent: the event's DISPID
  uint8_t paramCount;
  MemberParam params[kMaxMemberParams];
};

struct EventEntry {
  const char* name;  // the event-table spelling (never seen by containers)
  DISPID dispid;
  uint8_t paramCount;
  MemberParam params[kMaxMemberParams];
};

constexpr int kMemberCount = 154;
constexpr int kPropertyCount = 92;
constexpr int kEventCount = 4;

extern const Member kMembers[kMemberCount];
extern const EventEntry kEvents[kEventCount];

// Returns the member with this DISPID, or nullptr.
const Member* FindMember(DISPID dispid);

// Returns the first member whose name equals `name` ignoring ASCII case,
// or nullptr.
const Member* FindMemberByName(const char* name);

}  // namespace kr
