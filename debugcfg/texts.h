// Every fixed text the tool prints, one source line per output line, but
// the words of a failed store's reasons (texts.cpp). Texts for puts() end
// in "\r" (puts adds the "\n"); printf formats end in "\r\n" or, where the
// message has no line end, in nothing.
#ifndef DEBUGCFG_TEXTS_H
#define DEBUGCFG_TEXTS_H

namespace debugcfg::text {

inline constexpr const char *help[] = {
    "====================help info====================\r",
    "para1   : read or write                          \r",
    "para2   :                                        \r",
    "para3   :                                        \r",
    "para4   :                                        \r",
    "example :                                        \r",
    "           ./debug read 1 1 1                    \r",
    "=================================================\r",
    "\r",
};

inline constexpr const char *report_head = "=====================read info===================\r";
inline constexpr const char *report_type1 = "Type1: %d             \t\t \r\n";
inline constexpr const char *report_type2 = "Type2: %d                    \r\n";
inline constexpr const char *report_type3 = "Type3: %d                    \r\n";
inline constexpr const char *report_tail = "=================================================\r";
inline constexpr const char *report_end = "\r";

inline constexpr const char *no_memory = "Memory malloc failed...\r";
inline constexpr const char *bad_command = "not this the cmd: %s";
inline constexpr const char *open_failed = "open config file failed!";
inline constexpr const char *save_failed = "save config file failed: %s\r\n";
inline constexpr const char *stored_unsynced = "save config file: stored, but the folder was not synced: %s\r\n";

}  // namespace debugcfg::text

#endif
