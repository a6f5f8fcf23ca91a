// A control an application creates by its ProgID and lets go of without
// Close (a script that ends, a framework that disposes of its objects):
// its device session ends with it.
#include "host_fixture.h"
#include "opos.h"
#include "service_ids.h"

namespace {

using kcli::Args;
using kcli::CallMember;
using LifetimeTest = hosts::HostTest;

TEST_F(LifetimeTest, AControlReleasedWithoutCloseEndsItsSessionAndFreesTheDevice) {
  kr::ComPtr<IDispatch> first = CreateByProgId();
  ASSERT_TRUE(first);
  Args open;
  ASSERT_EQ(opos::OPOS_SUCCESS, CallMember(first.get(), "Open", open.Text(hosts::kDevice)));
  Args claim;
  ASSERT_EQ(opos::OPOS_SUCCESS, CallMember(first.get(), "Claim", claim.Long(2000)));
  ASSERT_EQ(S_OK, kcli::SetMember(first.get(), "DeviceEnabled", 1));
  ASSERT_EQ(opos::OPOS_SUCCESS, CallMember(first.get(), "PrintXReport"));

  first.reset();
  // Both the control and its Service Object are gone: nothing of either
  // module is in use.
  EXPECT_EQ(S_OK, hosts::CanUnloadNow(L"Kerunel.ocx"));
  EXPECT_EQ(S_OK, hosts::CanUnloadNow(KSO_MODULE));

  // The claim went with the session: a new control claims the device at once.
  kr::ComPtr<IDispatch> second = CreateByProgId();
  ASSERT_TRUE(second);
  Args openAgain;
  ASSERT_EQ(opos::OPOS_SUCCESS, CallMember(second.get(), "Open", openAgain.Text(hosts::kDevice)));
  Args noWait;
  EXPECT_EQ(opos::OPOS_SUCCESS, CallMember(second.get(), "Claim", noWait.Long(0)));
  EXPECT_EQ(opos::OPOS_SUCCESS, CallMember(second.get(), "Close"));
}

}  // namespace
