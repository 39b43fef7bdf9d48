// Constants of the terminal protocol and the system's own texts, named once.
//
// Texts that go to a terminal are bytes in the terminal code page; they are
// plain ASCII here so they are the same bytes in every single-byte code page.
// Texts for people (stderr, message boxes) are UTF-8.
#pragma once

#include <cstdint>
#include <string_view>

namespace zel {

// Frame bytes.
inline constexpr char STX = '\x02';
inline constexpr char ETX = '\x03';
inline constexpr char EOT = '\x04';

// Screen bytes: every screen opens with VT; CR breaks lines.
inline constexpr char SCREEN_OPEN = '\x0B';
inline constexpr char LINE_BREAK = '\x0D';

inline constexpr int SCREEN_COLUMNS = 30;   // width of a terminal line
inline constexpr int IDLE_LINE_COUNT = 7;   // M1 to M7
inline constexpr int MAX_CODE_DIGITS = 13;  // digits of a bar code that are looked up

inline constexpr std::string_view NOT_FOUND_MESSAGE = "ARTICULO NO ENCONTRADO";

// Debug-log lines of one scan, in the order they are written.
inline constexpr std::string_view LOG_SENDING = "Enviado...";
inline constexpr std::string_view LOG_SENT = "Ya se envio";
inline constexpr std::string_view LOG_AFTER_DELAY = "Despues del delay";
inline constexpr std::string_view LOG_PASS_CODE = "mensaje pase codigo";

// Start-up failure text (UTF-8), whatever the cause.
inline constexpr std::string_view SERVER_NOT_RUNNING = "No se encontro Srv_Zel.exe en ejecución";

// The stderr line that names the port the system chose for PUERTO 0:
// START, the port, END.
inline constexpr std::string_view PORT_REPORT_START = "Terminals connect on port ";
inline constexpr std::string_view PORT_REPORT_END = " (chosen by the system)";

// Program and window identity.
inline constexpr std::string_view PROGRAM_NAME = "ZEL_RV7300";
inline constexpr std::string_view WINDOW_CAPTION = "RV7300-ZEL";

}  // namespace zel
