// A storm of system calls, for the system tests: 100,000 calls with random
// numbers and random arguments, from a fixed seed so every run makes the
// same calls. Where a call reads memory (strings, formats, names) it gets
// an address in this program's own buffers; every other argument is noise.
//
// Left out: exit (1), which would end the storm, and clear (13), which costs
// a whole screen of port writes a call. The three calls that wait for the
// user (14-16) are made only while the storm does not hold the console, when
// they must refuse at once with -24 instead of waiting. The beep (17) waits
// 200 ms, so it is made at most ten times.
// Nothing in the call table restarts the machine or starts or stops another
// program, so no argument can do harm beyond this program's own screen
// output and its own entries in the system data table.
//
// Every answer that can be known is checked: unknown numbers (0, 25 and
// above, and numbers whose low bits name a real call) give -23, the version
// is 0x0703, the console focus answers as this program took and gave it,
// the system data table answers as a model of it says, the cursor and the
// colours stay in range, and EBX, ESI, EDI and the flags come back as they
// went in. The storm assumes a freshly started system (an empty data table)
// and leaves the table empty and the colours as it found them.
#include "kval.h"

namespace {

constexpr uint32_t CALLS = 100000;
constexpr uint32_t MAX_BEEPS = 10;
constexpr uint32_t SEED = 0x2545F491;

// ---- the random numbers: xorshift32 ----

uint32_t random_state = SEED;

uint32_t random()
{
    uint32_t x = random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    random_state = x;
    return x;
}

uint32_t below(uint32_t n)
{
    return random() % n;
}

// ---- the buffers the calls point into ----

constexpr uint32_t TEXTS = 16;
constexpr uint32_t TEXT_MAX = 100;  // longer than printf's 64-byte copy, now and then
constexpr uint32_t FORMAT_MAX = 24;
constexpr uint32_t NAMES = 12;
constexpr uint32_t NAME_MAX = 7;  // longer than the table's five, so names get cut

char texts[TEXTS][TEXT_MAX + 1];
char format[2 * FORMAT_MAX + 1];
char names[NAMES][NAME_MAX + 1];

// Mostly printable, with control bytes (newline, backspace, tab, NUL-free)
// and bytes above 127 mixed in.
char random_text_byte()
{
    const uint32_t r = below(16);
    if (r == 0) {
        return static_cast<char>(1 + below(31));
    }
    if (r == 1) {
        return static_cast<char>(128 + below(128));
    }
    return static_cast<char>(32 + below(95));
}

void refill_text(char* text)
{
    const uint32_t length = below(8) == 0 ? below(TEXT_MAX + 1) : below(12);
    for (uint32_t i = 0; i < length; ++i) {
        text[i] = random_text_byte();
    }
    text[length] = 0;
}

// A few letters only, so that names meet again and the table fills up.
void refill_name(char* name)
{
    constexpr char LETTERS[] = "AB\x01\xFE";
    const uint32_t r = below(20);
    const uint32_t length = r == 0 ? 0 : r < 11 ? 1 + below(2) : 3 + below(NAME_MAX - 2);
    for (uint32_t i = 0; i < length; ++i) {
        name[i] = LETTERS[below(sizeof(LETTERS) - 1)];
    }
    name[length] = 0;
}

char* some_text()
{
    char* text = texts[below(TEXTS)];
    if (below(4) == 0) {
        refill_text(text);
    }
    return text;
}

char* some_name()
{
    char* name = names[below(NAMES)];
    if (below(8) == 0) {
        refill_name(name);
    }
    return name;
}

bool same(const char* a, const char* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// ---- the system data table, as the kernel must keep it ----

constexpr uint32_t ENTRIES = 40;
constexpr uint32_t STORED_NAME = 5;

struct Entry {
    char name[STORED_NAME + 1];
    uint32_t value;
    bool in_use;
};

Entry table[ENTRIES];

int32_t lowest(const char* name)
{
    for (uint32_t i = 0; i < ENTRIES; ++i) {
        if (table[i].in_use && same(table[i].name, name)) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// Free entries hold the empty name, and every entry counts for a clash.
int32_t model_add(const char* name, uint32_t value)
{
    for (const Entry& e : table) {
        if (same(e.name, name)) {
            return kval::NAME_PRESENT;
        }
    }
    for (uint32_t i = ENTRIES; i-- > 0;) {
        if (!table[i].in_use) {
            uint32_t n = 0;
            for (; n < STORED_NAME && name[n] != 0; ++n) {
                table[i].name[n] = name[n];
            }
            table[i].name[n] = 0;
            table[i].value = value;
            table[i].in_use = true;
            return kval::OK;
        }
    }
    return kval::NO_FREE_ENTRY;
}

int32_t model_set(const char* name, uint32_t value)
{
    const int32_t at = lowest(name);
    if (at < 0) {
        return kval::NAME_NOT_FOUND;
    }
    table[at].value = value;
    return kval::OK;
}

int32_t model_remove(const char* name)
{
    const int32_t at = lowest(name);
    if (at < 0) {
        return kval::NAME_NOT_FOUND;
    }
    table[at] = Entry{};
    return kval::OK;
}

uint32_t model_get(const char* name)
{
    const int32_t at = lowest(name);
    return at < 0 ? static_cast<uint32_t>(kval::NAME_NOT_FOUND) : table[at].value;
}

// ---- one call, every register given and every register looked at ----

// The flags a call must give back: carry, parity, adjust, zero, sign,
// direction and overflow.
constexpr uint32_t FLAGS_KEPT = 0xCD5;
constexpr uint32_t FLAG_DIRECTION = 0x400;

struct Registers {
    uint32_t eax, ebx, ecx, edx, esi, edi;
};

// Globals, so that the asm reaches them by absolute address while it has
// the stack pointer moved.
Registers regs;
uint32_t flags_in;
uint32_t flags_out;

void syscall()
{
    asm volatile(
        "pushl %[in]\n\t"
        "popfl\n\t"
        "int $60\n\t"
        "pushfl\n\t"
        "popl %[out]\n\t"
        "cld"
        : "+a"(regs.eax), "+b"(regs.ebx), "+c"(regs.ecx), "+d"(regs.edx), "+S"(regs.esi),
          "+D"(regs.edi), [out] "=m"(flags_out)
        : [in] "m"(flags_in)
        : "memory", "cc");
}

// ---- the storm ----

uint32_t number;  // of the call being checked
uint32_t errors;
uint32_t first_error_call;
uint32_t first_error_expected;
uint32_t first_error_got;
uint32_t beeps;
uint32_t unknown_calls;
uint32_t data_calls_refused;
uint32_t table_full;  // adds refused for want of a free entry
bool holding_console;

void check(bool good, uint32_t expected, uint32_t got)
{
    if (good) {
        return;
    }
    if (errors == 0) {
        first_error_call = number;
        first_error_expected = expected;
        first_error_got = got;
    }
    ++errors;
}

void expect_edx(int32_t expected)
{
    check(regs.edx == static_cast<uint32_t>(expected), static_cast<uint32_t>(expected), regs.edx);
    if (expected < 0) {
        ++data_calls_refused;
    }
    if (expected == kval::NO_FREE_ENTRY) {
        ++table_full;
    }
}

// Numbers no call has: 0, just past the table, far past it, and numbers
// whose low byte or word would be a real call (exit, the key waits) if the
// kernel looked at less than all 32 bits.
uint32_t unknown_number()
{
    constexpr uint32_t SHADOWS[] = {0x101, 0x10001, 0x1000001, 0x10E, 0x1000F, 0x80000010, 0xFFFFFFFF};
    switch (below(4)) {
        case 0:
            return 0;
        case 1:
            return 25 + below(40);
        case 2:
            return SHADOWS[below(sizeof(SHADOWS) / sizeof(SHADOWS[0]))];
        default:
            return 25 + random() % (0xFFFFFFFF - 25);
    }
}

// The calls the storm makes: 14-16 only without the console, 17 only while
// beeps remain.
constexpr uint32_t CALL_MIX[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};

uint32_t pick_number()
{
    if (below(10) == 0) {
        return unknown_number();
    }
    for (;;) {
        const uint32_t n = CALL_MIX[below(sizeof(CALL_MIX) / sizeof(CALL_MIX[0]))];
        const bool would_wait = n >= 14 && n <= 16 && holding_console;
        if (!would_wait && (n != 17 || beeps < MAX_BEEPS)) {
            return n;
        }
    }
}

// Half the time a value in the call's range, half the time any 32 bits.
uint32_t maybe_in(uint32_t range)
{
    return below(2) == 0 ? below(range) : random();
}

// Builds a format of text and conversions (valid ones, "%%", unknown ones
// and a lone % at the end) and gives each of the three values what the
// kernel's scan will take it for: a string address for %s, noise otherwise.
void make_printf()
{
    constexpr char CONVERSIONS[] = "csixb%qZ";
    const uint32_t length = below(FORMAT_MAX);
    uint32_t n = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (below(3) == 0) {
            format[n++] = '%';
            if (i + 1 < length || below(2) == 0) {
                format[n++] = CONVERSIONS[below(sizeof(CONVERSIONS) - 1)];
            }
        } else {
            format[n++] = random_text_byte();
        }
    }
    format[n] = 0;
    uint32_t values[3] = {random(), random(), random()};
    uint32_t taken = 0;
    for (uint32_t i = 0; format[i] != 0;) {
        const char c = format[i];
        const char next = format[i + 1];
        if (c != '%' || (next != 'c' && next != 's' && next != 'i' && next != 'x' && next != 'b')) {
            ++i;
            continue;
        }
        if (next == 's' && taken < 3) {
            values[taken] = below(8) == 0 ? 0 : kval::detail::address(some_text());
        }
        ++taken;
        i += 2;
    }
    regs.ebx = kval::detail::address(format);
    regs.edx = values[0];
    regs.ecx = values[1];
    regs.edi = values[2];
}

void one_call()
{
    number = pick_number();
    regs = {number, random(), random(), random(), random(), random()};
    const char* name = nullptr;
    switch (number) {
        case 2:
            regs.ebx = kval::detail::address(some_text());
            break;
        case 5:
            regs.ecx = maybe_in(81);
            regs.edx = maybe_in(26);
            break;
        case 8:
        case 9:
            regs.edx = maybe_in(16);
            break;
        case 12:
            make_printf();
            break;
        case 15:
        case 16:
            regs.ebx = kval::detail::address(some_text());
            break;
        case 17:
            ++beeps;
            break;
        case 19:
        case 20:
        case 21:
        case 22:
        case 23:
            name = some_name();
            regs.ebx = kval::detail::address(name);
            break;
        default:
            break;
    }

    const Registers sent = regs;
    flags_in = 0x202 | (random() & FLAGS_KEPT);  // interrupts stay on
    syscall();
    check(regs.ebx == sent.ebx && regs.esi == sent.esi && regs.edi == sent.edi, sent.esi, regs.esi);
    check((flags_out & FLAGS_KEPT) == (flags_in & FLAGS_KEPT), flags_in, flags_out);

    switch (number) {
        case 3:
            expect_edx(holding_console ? kval::NO_CONSOLE : static_cast<int32_t>(sent.edx));
            holding_console = true;
            break;
        case 4:
            expect_edx(holding_console ? static_cast<int32_t>(sent.edx) : kval::NO_CONSOLE);
            holding_console = false;
            break;
        case 6:
            check(regs.ecx <= 80, 80, regs.ecx);
            break;
        case 7:
            check(regs.ecx <= 25, 25, regs.ecx);
            break;
        case 10:
        case 11:
            check(regs.ecx <= 15, 15, regs.ecx);
            break;
        case 14:
        case 15:
        case 16:
            expect_edx(kval::NO_CONSOLE);
            break;
        case 19:
            expect_edx(model_add(name, sent.ecx));
            break;
        case 20:
            expect_edx(model_set(name, sent.ecx));
            break;
        case 21:
            expect_edx(lowest(name) < 0 ? kval::NAME_NOT_FOUND : kval::OK);
            break;
        case 22:
            check(regs.edx == model_get(name), model_get(name), regs.edx);
            break;
        case 23:
            expect_edx(model_remove(name));
            break;
        case 24:
            check(regs.ecx == kval::VERSION_CODE, kval::VERSION_CODE, regs.ecx);
            break;
        case 2:
        case 5:
        case 8:
        case 9:
        case 12:
        case 17:
        case 18:
            break;
        default:
            ++unknown_calls;
            check(regs.edx == static_cast<uint32_t>(kval::UNKNOWN_CALL), static_cast<uint32_t>(kval::UNKNOWN_CALL),
                  regs.edx);
            break;
    }
}

// Empties the table through the calls, entry by entry as the model holds it.
void clean_up()
{
    for (Entry& e : table) {
        while (e.in_use) {
            char name[STORED_NAME + 1];
            for (uint32_t i = 0; i <= STORED_NAME; ++i) {
                name[i] = e.name[i];
            }
            number = 23;
            check(kval::data_remove(name) == model_remove(name), 0, 1);
        }
    }
}

}  // namespace

int main()
{
    const uint32_t fg = kval::color();
    const uint32_t bg = kval::background();
    for (char* text : texts) {
        refill_text(text);
    }
    for (char* name : names) {
        refill_name(name);
    }
    for (uint32_t i = 0; i < CALLS; ++i) {
        one_call();
    }
    // The summary is printed holding the console, so that no prompt of the
    // shell comes between its lines; the exit gives the console back.
    if (!holding_console) {
        number = 3;
        check(kval::take_console() == kval::OK, 0, 1);
    }
    clean_up();
    kval::set_cursor(0, 24);  // the summary scrolls in at the bottom, below all the noise
    kval::set_background(bg);
    kval::set_color(fg);
    kval::printf("\nSTORM calls=%i unknown=%i refused=%i", CALLS, unknown_calls, data_calls_refused);
    kval::printf("\nSTORM beeps=%i full=%i errors=%i.", beeps, table_full, errors);
    if (errors != 0) {
        kval::printf("\nSTORM first error: call %x, expected %x, got %x.", first_error_call, first_error_expected,
                     first_error_got);
    }
    return 0;
}
