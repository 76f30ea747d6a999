#include "service/ServerCommandLine.h"

#include "base/StrUtils.h"

msServerCommandLine mfParseServerCommandLine(const std::vector<std::string>& vecArgs) {
    msServerCommandLine result;
    std::string strLine;
    for (const std::string& strArg : vecArgs) {
        if (strArg == kSwitchHelp || strArg == "-h") {
            result.action = mcServerAction::kHelp;
            return result;
        }
        if (strArg == kSwitchVersion) {
            result.action = mcServerAction::kVersion;
            return result;
        }
    }
    for (const std::string& strArg : vecArgs) {
        if (strArg == kSwitchSession) result.bSessionBus = true;
        if (!strLine.empty()) strLine += ' ';
        strLine += strArg;
    }
    for (std::size_t nPos = 0; nPos < strLine.size(); ++nPos) {
        if (strLine[nPos] != '-' && strLine[nPos] != '/') continue;
        const std::size_t nStart = nPos + 1;
        std::size_t nEnd = nStart;
        while (nEnd < strLine.size() && strLine[nEnd] != ' ' && strLine[nEnd] != '\t') ++nEnd;
        const std::string strWord = strLine.substr(nStart, nEnd - nStart);
        if (mfStrCompareNoCase(strWord, kSwitchUnregServer) == 0) {
            result.action = mcServerAction::kUnregServer;
            return result;
        }
        if (mfStrCompareNoCase(strWord, kSwitchRegServer) == 0) {
            result.action = mcServerAction::kRegServer;
            return result;
        }
    }
    return result;
}
