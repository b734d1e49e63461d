#pragma once

#include <QString>

#include <cstdint>

// Well-known folders by the kind numbers of the Windows shell, mapped onto the
// XDG folders: 0 Desktop, 4 Documents, 5 configuration ($XDG_CONFIG_HOME),
// 16 data ($XDG_DATA_HOME), 19 temporary files, 27 Music, 28 Pictures,
// 29 Videos. Every other kind has no Linux counterpart and gives an empty text.
// A result that is not empty ends in "/".
QString GetSpecialFolder(uint8_t kind);

// The folder of the running executable, ending in "/"; empty when the system
// cannot name the executable.
QString GetExeFolder();
