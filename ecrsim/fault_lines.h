// Faults injected into a running simulator by lines of text: what
// ecrsim.exe reads on its standard input, and what the fault soak injects.
//   paper out | paper ok | near end | cover open | cover closed
//   journal empty | journal ok | busy N        the printer's own faults
//   drop | reset | mute | unmute               the connection
//   lose answer | lose answer drop | work MS   the next command
//   power off | power on | restart             the whole ECR
//   spoil C field N TEXT | spoil C twice        a hostile printer's answers
//   spoil C oversized N | spoil C off          to the commands with code C
#pragma once

#include <memory>
#include <string>

#include "ecrsim.h"
#include "virtual_printer.h"

namespace ecrsim {

// Carries out one line (printer: the one behind the simulator, or null);
// false for a line it does not know, or one for a printer when there is
// none.
bool InjectFault(const std::string& line, Simulator& ecr,
                 const std::shared_ptr<VirtualPrinter>& printer);

}  // namespace ecrsim
