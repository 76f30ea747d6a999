// Kettrinrm: unregisters a client application from the component manager, or
// removes the component manager when no client is left (see mcUninstaller).
//
//   Kettrinrm            remove the component manager
//   Kettrinrm CLIENT     unregister CLIENT; remove the component manager when
//                        it was the last one
#include <clocale>
#include <iostream>
#include <string>

#include "tools/Kettrinrm/mcServerWindowProbe.h"
#include "tools/Kettrinrm/mcUninstaller.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::string strCommandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) strCommandLine += ' ';
        strCommandLine += argv[i];
    }
    mcServerWindowProbe probe;
    mcUninstaller::Environment env;
    env.pMessages = &std::cerr;
    env.fnServerWindowExists = [&probe] { return probe.WindowExists(); };
    mcUninstaller uninstaller(std::move(env));
    return uninstaller.Run(strCommandLine);
}
