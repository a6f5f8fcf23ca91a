// Events: the connection point, the Service Object callbacks fired to every
// sink with by-reference arguments passed through, and the container's
// event freezing passed on as "COFreezeEvents".
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com_server.h"
#include "control_fixture.h"
#include "opos.h"

namespace {

using ctl::Args;
using kr::ComPtr;

// An event sink that records what it receives and can fail or answer.
class FakeSink : public kr::DispatchByIdOnly<> {
 public:
  struct Event {
    DISPID dispid;
    std::vector<VARTYPE> types;  // in parameter order
    std::vector<LONG> numbers;   // VT_I4 values and by-reference longs as received
    std::vector<const void*> refs;
  };
  explicit FakeSink(bool answerEventsIid = true) : answersEventsIid_(answerEventsIid) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch ||
        (answersEventsIid_ && iid == kr::kEventsIid)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT*,
                      EXCEPINFO* excepInfo, UINT*) override {
    EXPECT_EQ(DISPATCH_METHOD, flags);
    Event e{dispid, {}, {}, {}};
    for (UINT i = p->cArgs; i-- > 0;) {
      VARIANTARG& a = p->rgvarg[i];
      e.types.push_back(a.vt);
      e.refs.push_back(a.vt & VT_BYREF ? a.byref : nullptr);
      if (a.vt == VT_I4) e.numbers.push_back(a.lVal);
      if (a.vt == (VT_BYREF | VT_I4)) {
        e.numbers.push_back(*a.plVal);
        if (answer) *a.plVal = answerNumber;
      }
      if (a.vt == (VT_BYREF | VT_BSTR) && answer) {
        SysFreeString(*a.pbstrVal);
        *a.pbstrVal = SysAllocString(answerText);
      }
    }
    events.push_back(e);
    if (onEvent) onEvent();
    if (fail) {
      if (excepInfo) {
        excepInfo->scode = E_FAIL;
        excepInfo->bstrDescription = SysAllocString(L"handler failed");
      }
      return DISP_E_EXCEPTION;
    }
    return S_OK;
  }

  ULONG refs = 1;
  bool fail = false;
  bool answer = false;
  LONG answerNumber = 12;
  const wchar_t* answerText = L"rewritten";
  std::vector<Event> events;
  std::function<void()> onEvent;

 private:
  bool answersEventsIid_;
};

class EventsTest : public ctl::ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, control_.QueryTo(IID_IConnectionPointContainer, container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(kr::kEventsIid, point_.put()));
  }
  void TearDown() override {
    if (point_) {
      for (DWORD cookie : cookies_) point_->Unadvise(cookie);
    }
    point_.reset();
    ServiceTest::TearDown();
  }
  // A sink that outlives the connection (the fixture owns it).
  FakeSink& NewSink(bool answersEventsIid = true) {
    sinks_.push_back(std::make_unique<FakeSink>(answersEventsIid));
    return *sinks_.back();
  }
  void Connect(FakeSink& sink) {
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point_->Advise(&sink, &cookie));
    cookies_.push_back(cookie);
  }

  std::vector<std::unique_ptr<FakeSink>> sinks_;  // destroyed after TearDown
  ComPtr<IConnectionPoint> point_;
  std::vector<DWORD> cookies_;
};

TEST_F(EventsTest, ConnectionPointKeepsSinksAndEnumeratesThem) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, control_.QueryTo(IID_IConnectionPointContainer, container));
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, other.put()));
  IID iid = IID_NULL;
  EXPECT_EQ(S_OK, point_->GetConnectionInterface(&iid));
  EXPECT_TRUE(IsEqualGUID(kr::kEventsIid, iid));
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(S_OK, point_->GetConnectionPointContainer(back.put()));
  EXPECT_EQ(container.get(), back.get());

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.put()));
  IConnectionPoint* found[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, points->Next(2, found, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(point_.get(), found[0]);
  found[0]->Release();

  FakeSink& first = NewSink();
  FakeSink& second = NewSink();
  FakeSink& plainDispatch = NewSink(false);
  Connect(first);
  Connect(second);
  Connect(plainDispatch);  // events are invoked by DISPID: IDispatch will do
  EXPECT_EQ(2u, first.refs);
  EXPECT_NE(cookies_[0], cookies_[1]);
  EXPECT_NE(0u, cookies_[0]);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(S_OK, point_->EnumConnections(connections.put()));
  CONNECTDATA data[4] = {};
  ASSERT_EQ(S_FALSE, connections->Next(4, data, &fetched));
  ASSERT_EQ(3u, fetched);
  EXPECT_EQ(cookies_[0], data[0].dwCookie);
  EXPECT_EQ(cookies_[2], data[2].dwCookie);
  EXPECT_EQ(static_cast<IUnknown*>(&first), data[0].pUnk);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
  connections.reset();
  EXPECT_EQ(2u, first.refs);

  EXPECT_EQ(CONNECT_E_NOCONNECTION, point_->Unadvise(cookies_.back() + 100));
  EXPECT_EQ(S_OK, point_->Unadvise(cookies_[0]));
  EXPECT_EQ(1u, first.refs);
  cookies_.erase(cookies_.begin());

  // Something that is no dispatch interface cannot connect.
  ComPtr<IUnknown> notASink;
  ASSERT_EQ(S_OK,
            CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(notASink.put())));
  DWORD cookie = 0;
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point_->Advise(notASink.get(), &cookie));

  // The control gives its sinks up when it goes away.
  cookies_.clear();
  point_.reset();
  container.reset();
  back.reset();
  points.reset();
  EXPECT_EQ(0u, control_.detach()->Release());
  EXPECT_EQ(1u, second.refs);
  EXPECT_EQ(1u, plainDispatch.refs);
}

TEST_F(EventsTest, CallbacksFireTheirEventsToEverySinkEvenWhenOneFails) {
  FakeSink& failing = NewSink();
  FakeSink& answering = NewSink();
  failing.fail = true;
  answering.answer = true;
  Connect(failing);
  Connect(answering);

  // The control calls back as the Service Object would; it is not open.
  EXPECT_EQ(S_OK,
            ctl::InvokeMethod(control_.get(), KR_DISPID_SOStatusUpdate, Args().Long(24), nullptr));
  EXPECT_EQ(S_OK,
            ctl::InvokeMethod(control_.get(), KR_DISPID_SOOutputComplete, Args().Long(5), nullptr));
  LONG response = 11;
  EXPECT_EQ(S_OK,
            ctl::InvokeMethod(control_.get(), KR_DISPID_SOError,
                              Args().Long(114).Long(201).Long(2).LongRef(&response), nullptr));
  LONG data = 100;
  BSTR text = SysAllocString(L"original");
  EXPECT_EQ(S_OK, ctl::InvokeMethod(control_.get(), KR_DISPID_SODirectIO,
                                    Args().Long(7).LongRef(&data).TextRef(&text), nullptr));

  for (FakeSink* sink : {&failing, &answering}) {
    ASSERT_EQ(4u, sink->events.size());
    EXPECT_EQ(4, sink->events[0].dispid);  // StatusUpdateEvent
    EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, sink->events[0].types);
    EXPECT_EQ(std::vector<LONG>{24}, sink->events[0].numbers);
    EXPECT_EQ(3, sink->events[1].dispid);  // OutputCompleteEvent
    EXPECT_EQ(std::vector<LONG>{5}, sink->events[1].numbers);
    EXPECT_EQ(2, sink->events[2].dispid);  // ErrorEvent
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_I4, VT_I4, VT_BYREF | VT_I4}), sink->events[2].types);
    EXPECT_EQ(static_cast<const void*>(&response), sink->events[2].refs[3]);
    EXPECT_EQ(1, sink->events[3].dispid);  // DirectIOEvent
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_BYREF | VT_I4, VT_BYREF | VT_BSTR}),
              sink->events[3].types);
    EXPECT_EQ(static_cast<const void*>(&text), sink->events[3].refs[2]);
  }
  EXPECT_EQ((std::vector<LONG>{114, 201, 2, 11}), answering.events[2].numbers);
  // The answers are in the caller's own variables.
  EXPECT_EQ(12, response);
  EXPECT_EQ(12, data);
  EXPECT_STREQ(L"rewritten", text);
  SysFreeString(text);

  kr::UniqueVariant pid;
  Args none;
  EXPECT_EQ(S_OK, ctl::InvokeMethod(control_.get(), KR_DISPID_SOProcessID, none, pid.get()));
  EXPECT_EQ(VT_I4, pid->vt);
  EXPECT_EQ(0, pid->lVal);
}

TEST_F(EventsTest, ServiceObjectEventsArriveDuringTheCallThatRaisedThem) {
  FakeSink& sink = NewSink();
  sink.answer = true;
  Connect(sink);
  OpenDevice();
  TestSoCallback status{TESTSO_CB_STATUS_UPDATE, {24, 0, 0}, 0, nullptr};
  TestSoCallback error{TESTSO_CB_ERROR, {114, 203, 2}, 11, nullptr};
  ASSERT_TRUE(so_->AddCallback(L"PrintNormal", &status));
  ASSERT_TRUE(so_->AddCallback(L"PrintNormal", &error));
  EXPECT_EQ(0, Call(KR_DISPID_PrintNormal, Args().Long(2).Text(L"line")));
  ASSERT_EQ(2u, sink.events.size());
  EXPECT_EQ(4, sink.events[0].dispid);
  EXPECT_EQ(2, sink.events[1].dispid);
  ASSERT_EQ(2u, so_->CallbackResultCount());
  EXPECT_STREQ(L"PrintNormal", so_->CallbackResult(1)->trigger);
  EXPECT_EQ(S_OK, so_->CallbackResult(1)->hr);
  EXPECT_EQ(12, so_->CallbackResult(1)->refNumber);  // the application's answer

  TestSoCallback directIo{TESTSO_CB_DIRECT_IO, {7, 0, 0}, 100, L"original"};
  ASSERT_EQ(S_OK, so_->MakeCallback(&directIo));
  EXPECT_EQ(12, so_->CallbackResult(2)->refNumber);
  EXPECT_STREQ(L"rewritten", so_->CallbackResult(2)->refText);
  TestSoCallback pid{TESTSO_CB_PROCESS_ID, {}, 0, nullptr};
  ASSERT_EQ(S_OK, so_->MakeCallback(&pid));
  EXPECT_EQ(VT_I4, so_->CallbackResult(3)->resultVt);
  EXPECT_EQ(0, so_->CallbackResult(3)->resultNumber);
}

TEST_F(EventsTest, ContainerFreezesReachTheServiceObjectOnTheirOutermostEdges) {
  ComPtr<IOleControl> ole;
  ASSERT_EQ(S_OK, control_.QueryTo(IID_IOleControl, ole));
  // Closed: the counter moves, nothing is passed on.
  EXPECT_EQ(S_OK, ole->FreezeEvents(TRUE));
  EXPECT_EQ(S_OK, ole->FreezeEvents(FALSE));
  OpenDevice();
  EXPECT_EQ(0u, Count(L"COFreezeEvents"));

  EXPECT_EQ(S_OK, ole->FreezeEvents(TRUE));
  EXPECT_EQ(S_OK, ole->FreezeEvents(TRUE));
  EXPECT_EQ(S_OK, ole->FreezeEvents(FALSE));
  ASSERT_EQ(1u, Count(L"COFreezeEvents"));
  const TestSoCall* freeze = Last(L"COFreezeEvents");
  ASSERT_EQ(1u, freeze->argCount);
  EXPECT_EQ(VT_BOOL, freeze->args[0].vt);
  EXPECT_EQ(1, freeze->args[0].number);
  EXPECT_EQ(S_OK, ole->FreezeEvents(FALSE));
  ASSERT_EQ(2u, Count(L"COFreezeEvents"));
  EXPECT_EQ(0, Last(L"COFreezeEvents")->args[0].number);

  // A thaw without a freeze is not counted, so the next freeze still counts.
  EXPECT_EQ(S_OK, ole->FreezeEvents(FALSE));
  EXPECT_EQ(2u, Count(L"COFreezeEvents"));
  EXPECT_EQ(S_OK, ole->FreezeEvents(TRUE));
  EXPECT_EQ(3u, Count(L"COFreezeEvents"));

  // A failed call is reported; the counter is not rolled back.
  ASSERT_TRUE(so_->FailInvoke(L"COFreezeEvents", E_FAIL));
  kr_test::MessageBoxWatcher boxes(L"Kerunel", 10000);
  EXPECT_EQ(S_OK, ole->FreezeEvents(FALSE));
  boxes.Stop();
  ASSERT_EQ(1u, boxes.Count());
  EXPECT_EQ(0u, boxes.Texts()[0].find(L"Problema con COFreezeEvents\n\n"));
  ASSERT_TRUE(so_->FailInvoke(L"COFreezeEvents", S_OK));
  EXPECT_EQ(S_OK, ole->FreezeEvents(TRUE));
  EXPECT_EQ(5u, Count(L"COFreezeEvents"));

  CONTROLINFO info{};
  info.cb = sizeof(CONTROLINFO);
  EXPECT_EQ(S_OK, ole->GetControlInfo(&info));
  EXPECT_EQ(0, info.cAccel);
}

TEST_F(EventsTest, HandlersMayCloseOrDropTheControlInsideTheCallThatRaisedTheEvent) {
  TestSoCallback status{TESTSO_CB_STATUS_UPDATE, {24, 0, 0}, 0, nullptr};
  ASSERT_TRUE(so_->AddCallback(L"PrintNormal", &status));
  FakeSink& sink = NewSink();
  Connect(sink);

  // Closing from a handler: the Service Object is still inside PrintNormal
  // and goes away only after it has returned.
  OpenDevice();
  sink.onEvent = [&] {
    EXPECT_EQ(0, Call(KR_DISPID_Close));
    EXPECT_EQ(1, so_.Counters().liveObjects);
  };
  EXPECT_EQ(0, Call(KR_DISPID_PrintNormal, Args().Long(2).Text(L"line")));
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_PrintNormal, Args().Long(2).Text(L"line")));

  // Dropping the last reference from a handler: the control lives until its
  // call returns, then closes the Service Object as it goes.
  so_->SetHoldControl(FALSE);
  OpenDevice();
  point_.reset();  // the point shares the control's count; the sink stays connected
  cookies_.clear();
  sink.onEvent = [&] { control_.reset(); };
  IDispatch* raw = control_.get();
  Args args;
  args.Long(2).Text(L"line");
  kr::UniqueVariant result;
  EXPECT_EQ(S_OK, ctl::InvokeMethod(raw, KR_DISPID_PrintNormal, args, result.get()));
  EXPECT_EQ(VT_I4, result->vt);
  EXPECT_FALSE(control_);
  EXPECT_EQ(2u, Count(L"Close"));  // destroyed while open: it closed the object
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(1u, sink.refs);  // and let its sink go
}

TEST_F(EventsTest, HandlersThatReenterOpenOrCloseLeaveTheSessionWhole) {
  TestSoCallback status{TESTSO_CB_STATUS_UPDATE, {24, 0, 0}, 0, nullptr};
  FakeSink& sink = NewSink();
  Connect(sink);
  std::vector<LONG> nested;  // what the handler's own calls returned
  // The handler makes its call once, whatever events that call raises.
  auto callOnce = [&](std::function<LONG()> call) {
    return [&nested, call] {
      if (!nested.empty()) return;
      nested.push_back(-1);
      const LONG value = call();
      nested[0] = value;
    };
  };

  // Open from a handler while "OpenService" runs: refused, the outer Open
  // completes on its one Service Object.
  ASSERT_TRUE(so_->AddCallback(L"OpenService", &status));
  sink.onEvent = callOnce([&] { return Open(kDevice); });
  EXPECT_EQ(0, Open(kDevice));
  EXPECT_EQ(std::vector<LONG>{opos::OPOS_E_ILLEGAL}, nested);
  EXPECT_EQ(1, so_.Counters().createdObjects);
  EXPECT_EQ(1, so_.Counters().liveObjects);
  EXPECT_EQ(1u, Count(L"OpenService"));
  so_->SetNumberProperty(opos::PIDX_State, 2);
  EXPECT_EQ(2, Get(KR_DISPID_State)->lVal);

  // Close from a handler of a callback the Service Object made on its own:
  // the object outlives the callback it is still running, until the thread
  // pumps its messages again.
  nested.clear();
  sink.onEvent = [&] {
    nested.push_back(Call(KR_DISPID_Close));
    EXPECT_EQ(1, so_.Counters().liveObjects);
  };
  EXPECT_EQ(S_OK, so_->MakeCallback(&status));
  EXPECT_EQ(std::vector<LONG>{0}, nested);
  EXPECT_EQ(1, so_.Counters().liveObjects);
  EXPECT_TRUE(ctl::PumpUntil([&] { return so_.Counters().liveObjects == 0; }));
  EXPECT_EQ(1u, Count(L"Close"));

  // Close from a handler while "Close" runs: refused, "Close" is called once.
  sink.onEvent = nullptr;
  OpenDevice();
  ASSERT_TRUE(so_->AddCallback(L"Close", &status));
  nested.clear();
  sink.onEvent = callOnce([&] { return Call(KR_DISPID_Close); });
  EXPECT_EQ(0, Call(KR_DISPID_Close));
  EXPECT_EQ(std::vector<LONG>{opos::OPOS_E_ILLEGAL}, nested);
  EXPECT_EQ(2u, Count(L"Close"));  // one per session
  EXPECT_EQ(0, so_.Counters().liveObjects);
  EXPECT_EQ(opos::OPOS_E_CLOSED, Call(KR_DISPID_Close));
}

// A Service Object that reports from its own window: the callback starts in
// the object's code, not inside a call of the control. Whatever the handler
// does, the object lives until its code has returned.
TEST_F(EventsTest, AHandlerMayEndTheSessionInsideACallbackTheServiceObjectStarted) {
  TestSoCallback status{TESTSO_CB_STATUS_UPDATE, {24, 0, 0}, 0, nullptr};
  FakeSink& sink = NewSink();
  Connect(sink);
  auto drained = [&] {
    TestSoCounters c = so_.Counters();
    return c.liveObjects == 0 && so_->CallbackResultCount() == 1;
  };

  // The handler closes the control.
  OpenDevice();
  sink.onEvent = [&] { EXPECT_EQ(0, Call(KR_DISPID_Close)); };
  ASSERT_TRUE(so_->PostCallback(&status));
  ASSERT_TRUE(ctl::PumpUntil(drained));
  EXPECT_EQ(S_OK, so_->CallbackResult(0)->hr);
  EXPECT_EQ(0, so_.Counters().freedInOwnCallback);
  EXPECT_EQ(1u, Count(L"Close"));
  EXPECT_EQ(1u, sink.events.size());

  // The handler drops the application's last reference: the control goes,
  // closing the object once, and both are freed.
  so_->Reset();
  OpenDevice();
  point_.reset();  // the point shares the control's count; the sink stays connected
  cookies_.clear();
  sink.onEvent = [&] { control_.reset(); };
  ASSERT_TRUE(so_->PostCallback(&status));
  ASSERT_TRUE(ctl::PumpUntil(drained));
  EXPECT_FALSE(control_);
  EXPECT_EQ(0, so_.Counters().freedInOwnCallback);
  EXPECT_EQ(1u, Count(L"Close"));
  EXPECT_EQ(1u, sink.refs);
  EXPECT_EQ(S_OK, ctl::CanUnloadNow(module_.get()));
}

}  // namespace
