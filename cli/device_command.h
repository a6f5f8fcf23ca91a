// kerunel-cli device ...: the Kerunel class's OPOS device keys, read and
// written in a chosen registry view with the rules the link driver and the
// reference Service Object read them by, and a device tested end to end.
//
//   device list                         the devices and aliases of the view
//   device show NAME                    a device's values, what is wrong with
//                                       them, and its link as the driver reads it
//   device add NAME [Value=Text]...     a new device (refused when it exists;
//                                       --keep leaves an existing one as it is)
//   device set NAME Value=Text...       changes an existing device (--create
//                                       makes a missing one); "Value=" removes it
//   device remove NAME                  the device key and the aliases naming it
//   device test NAME                    Open, Claim, enable, CheckHealth, Close
//
// Options: --view 32|64 (default: this program's own view), --service PROGID
// (add: the Service Object, default Kerunel.FiscalService.1), --module PATH
// (test: the control's module). Values: LinkDriver, Link, AnswerTimeout,
// ReportTimeout and
// the link's ECRIP, ECRPortNumber, OnLine, StatusCheck, ExtDisplayEcho,
// LogLevel, LogFileName. A LogLevel without LogFileName logs to
// %ProgramData%\Kerunel\NAME-x64.log (x86 for the 32-bit view).
#pragma once

namespace kcli {

// Runs the words after "device"; returns the exit status: 0 done, 1 refused
// (a device that exists or is missing) or a test that failed, 2 a usage
// error or a value the driver would not take.
int RunDeviceCommand(int argc, char** argv);

}  // namespace kcli
