#ifndef HTS_LOG_TEXT_H
#define HTS_LOG_TEXT_H

#include <string>
#include <string_view>

// `text` with every control character written as an escape ("\r", "\n",
// "\t", "\xNN"), so a name taken from a configuration file cannot start a
// forged line in the agent's log.
std::string htsEscapeControl(std::string_view text);

#endif
