#pragma once
// mcPredownload: one predownload request, an XML text whose document element
// (any name) carries "name", "version" and "location", and the copy of the
// package it names into the holding area.
//
// Threads: the caller's; the store runs it under its writer lock. Every check
// that can refuse the request logs its fixed line ("PredownloadComponent:
// ...") and gives false; nothing here touches the configuration.
#include <string>

class mcPredownload {
public:
    // Parses the request. Throws mcExc when the text does not parse or one of
    // the three attributes is missing.
    explicit mcPredownload(const std::string& strText);

    const std::string& GetName() const { return m_strName; }
    const std::string& GetVersion() const { return m_strVersion; }
    const std::string& GetLocation() const { return m_strLocation; }

    // False (logged) when the name cannot be a folder of the holding area.
    bool CheckName() const;
    // Copies the package to strHoldingArea/<name>/<file name of location>,
    // creating the folder when needed. Refused (logged, false) when the
    // location is not a regular file or its file name is unsafe, or when the
    // copy fails. The copy replaces an older package only once complete.
    bool CopyPackage(const std::string& strHoldingArea) const;

private:
    std::string m_strName;
    std::string m_strVersion;
    std::string m_strLocation;
};
