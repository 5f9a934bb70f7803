// KVAL applications in C++: the 24 system calls as inline functions.
//
// A call is `int 60` with its number in EAX and its arguments in EBX, ECX,
// EDX and EDI. The kernel gives back EBX, ESI, EDI, EBP, ESP and the flags
// as they were; EAX is lost, and ECX and EDX carry the results (or are lost
// when they carry none). So every wrapper hands EAX, ECX and EDX to the
// compiler as outputs, and tells it that memory may have been read or
// written (strings, line buffers, the screen).
//
// Calls that can fail give a status: 0, or one of the negative Status codes.
// Calls that return a value give it as a non-negative number, or a status.
#pragma once

#include <stdint.h>

#include <type_traits>

namespace kval {

enum Status : int32_t {
    OK = 0,
    NO_FREE_ENTRY = -19,  // system data: all 40 entries in use
    UNKNOWN_CALL = -23,
    NO_CONSOLE = -24,      // the console is not available, or not the caller's
    NAME_PRESENT = -25,    // system data: the name is already there
    NAME_NOT_FOUND = -26,  // system data: no entry with that name
};

// What read_key() gives for keys without a character.
enum Key : int32_t {
    KEY_BACKSPACE = 8,
    KEY_UP = 0x0E01,
    KEY_DOWN = 0x0E02,
    KEY_RIGHT = 0x0E03,
    KEY_LEFT = 0x0E04,
    KEY_TAB = 0x0E0A,
    KEY_ESC = 0x0E0B,
    KEY_ENTER = 0x0E0C,
    KEY_F1 = 0x0F01,
};

// The sixteen text colours of the VGA palette.
enum Color : uint32_t {
    BLACK,
    BLUE,
    GREEN,
    CYAN,
    RED,
    MAGENTA,
    BROWN,
    LIGHT_GREY,
    DARK_GREY,
    LIGHT_BLUE,
    LIGHT_GREEN,
    LIGHT_CYAN,
    LIGHT_RED,
    LIGHT_MAGENTA,
    YELLOW,
    WHITE,
};

// The system's version code (call 24): 0x0703 for 0.0.7 Alpha - 3.
constexpr uint32_t VERSION_CODE = 0x0703;

namespace detail {

// The registers as the kernel leaves them: ECX and EDX.
struct Result {
    uint32_t ecx;
    uint32_t edx;
};

// One call. EDX goes in as `edx` (an argument, or 0 so that a call that
// succeeds without writing EDX reads as status 0).
inline Result call(uint32_t number, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0, uint32_t edi = 0)
{
    uint32_t eax = number;
    asm volatile("int $60" : "+a"(eax), "+c"(ecx), "+d"(edx) : "b"(ebx), "D"(edi) : "memory");
    return {ecx, edx};
}

inline uint32_t address(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// A printf value: a number as it is, a string (or any pointer) as its address.
inline uint32_t value(const void* p)
{
    return address(p);
}
template <typename T>
requires std::is_integral_v<T> || std::is_enum_v<T>
inline uint32_t value(T v)
{
    return static_cast<uint32_t>(v);
}

// ECX when EDX says the call worked, else the status in EDX.
inline int32_t value_or_status(Result r)
{
    return static_cast<int32_t>(r.edx) == NO_CONSOLE ? NO_CONSOLE : static_cast<int32_t>(r.ecx);
}

}  // namespace detail

// 1: ends the application. The console goes back to the shell if it held it.
[[noreturn]] inline void exit()
{
    detail::call(1);
    __builtin_unreachable();
}

// 2: prints a NUL-terminated string at the cursor, in the current colours.
inline void print(const char* text)
{
    detail::call(2, detail::address(text));
}

// 3: takes the console (the keyboard and the screen) from the shell.
// NO_CONSOLE when the shell does not hold it.
inline int32_t take_console()
{
    return static_cast<int32_t>(detail::call(3).edx);
}

// 4: gives the console back to the shell. NO_CONSOLE when the caller does not hold it.
inline int32_t give_console()
{
    return static_cast<int32_t>(detail::call(4).edx);
}

// 5: moves the cursor to column 0-79, row 0-24.
inline void set_cursor(uint32_t column, uint32_t row)
{
    detail::call(5, 0, column, row);
}

// 6 and 7: where the cursor is.
inline uint32_t cursor_column()
{
    return detail::call(6).ecx;
}
inline uint32_t cursor_row()
{
    return detail::call(7).ecx;
}

// 8 and 9: the colours of what is printed next; 10 and 11: the colours now.
inline void set_color(uint32_t color)
{
    detail::call(8, 0, 0, color);
}
inline void set_background(uint32_t color)
{
    detail::call(9, 0, 0, color);
}
inline uint32_t color()
{
    return detail::call(10).ecx;
}
inline uint32_t background()
{
    return detail::call(11).ecx;
}

// 12: formatted print with up to three values: %i (signed decimal), %x
// (hexadecimal), %b (binary), %c (a character) and %s (the address
// of a string). Any other % prints itself.
template <typename A = uint32_t, typename B = uint32_t, typename C = uint32_t>
inline void printf(const char* format, A first = 0, B second = 0, C third = 0)
{
    detail::call(12, detail::address(format), detail::value(second), detail::value(first), detail::value(third));
}

// 13: clears the screen in the current background colour; the cursor goes home.
inline void clear()
{
    detail::call(13);
}

// 14: waits for a key (needs the console): its character, or a Key code
// for keys without one, or NO_CONSOLE.
inline int32_t read_key()
{
    return detail::value_or_status(detail::call(14));
}

// 15: reads an edited line into `buffer` until Enter (needs the console),
// echoing it: the number of characters stored, at most `max_length`, or
// NO_CONSOLE (the buffer keeps what was typed so far). Nothing ends the
// text: clear at least max_length + 1 bytes before the call.
inline int32_t read_line(char* buffer, int32_t max_length)
{
    return detail::value_or_status(detail::call(15, detail::address(buffer), static_cast<uint32_t>(max_length)));
}

// 16: prints `question` and waits for Enter (1, yes) or Esc (0, no); needs
// the console, else NO_CONSOLE.
inline int32_t ask_yes_no(const char* question)
{
    const detail::Result r = detail::call(16, detail::address(question));
    return static_cast<int32_t>(r.edx) == NO_CONSOLE ? NO_CONSOLE : static_cast<int32_t>(r.ecx & 0xFF);
}

// 17: a short beep; the caller waits for it to end.
inline void beep()
{
    detail::call(17);
}

// 18: prints one character (10 is a new line, 8 erases the one before the cursor).
inline void put_char(char c)
{
    detail::call(18, static_cast<uint8_t>(c));
}

// 19-23: the system data table, 40 named 32-bit values shared by every
// application and kept after the one that added them ends. Names hold at
// most five characters; a longer name is cut to five when it is added.
inline int32_t data_add(const char* name, uint32_t value)
{
    return static_cast<int32_t>(detail::call(19, detail::address(name), value).edx);
}
inline int32_t data_set(const char* name, uint32_t value)
{
    return static_cast<int32_t>(detail::call(20, detail::address(name), value).edx);
}
inline int32_t data_find(const char* name)
{
    return static_cast<int32_t>(detail::call(21, detail::address(name)).edx);
}
// The value, or NAME_NOT_FOUND; a stored -26 reads the same as a missing name.
inline int32_t data_get(const char* name)
{
    return static_cast<int32_t>(detail::call(22, detail::address(name)).edx);
}
inline int32_t data_remove(const char* name)
{
    return static_cast<int32_t>(detail::call(23, detail::address(name)).edx);
}

// 24: the system's version code.
inline uint32_t version()
{
    return detail::call(24).ecx;
}

}  // namespace kval

// The application's entry: start.cpp calls it, then ends the application.
int main();
