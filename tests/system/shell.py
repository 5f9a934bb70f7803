"""A shell session that knows what the screen must show.

The session starts from the screen with the first prompt and keeps a console
model in step with it: what the user types is echoed in the prompt's yellow,
and a test adds what the system prints, then compares the whole screen.
"""

import console_model as cm

PROMPT_ROW = 18  # under the welcome screen's forty asterisks
PROMPT = "\nKVAL >"
COMMAND_TIMEOUT = 15


class Session:
    def __init__(self, machine):
        self.machine = machine
        screen = machine.wait_for_screen(lambda s: s.row(PROMPT_ROW) == PROMPT.strip(), what="the first prompt")
        self.console = cm.Console.of(screen, len(PROMPT) - 1, PROMPT_ROW, cm.YELLOW)

    def type(self, text):
        """Types `text` (no Enter); the model echoes it in the current colour."""
        self.machine.type_text(text)
        self.console.puts(text)
        return self

    def enter(self):
        self.machine.send_key("ret")
        return self

    def key(self, *qcodes):
        self.machine.send_key(*qcodes)
        return self

    def command(self, line):
        """Types a command line and Enter; add the output, then expect()."""
        return self.type(line).enter()

    def prints(self, fg, text):
        self.console.print(fg, text)
        return self

    def prompt(self):
        return self.prints(cm.YELLOW, PROMPT)

    def expect(self, timeout=COMMAND_TIMEOUT):
        """Waits until the screen is the model's, then returns it; fails with every wrong cell."""
        expected = self.console.screen()
        try:
            return self.machine.wait_for_screen(lambda s: s == expected, timeout, "the expected screen")
        except AssertionError:
            cm.assert_screen(self.machine.screen(), expected)
            raise


# --- the application commands, as most tests use them ---------------------------

PATH_QUESTION = "\nPlease enter the application path > "
PROCS_HEAD = ("\nPID      Type              Name", "\n0       System            KVALSYS"
              "\n1       System            KVALCLI")


def ldapp(session, path):
    """Starts the program at `path`; add what it prints, then expect()."""
    return session.command("ldapp").prints(cm.WHITE, PATH_QUESTION).type(path).enter()


def fault_report(session, name, message):
    """The lines that end an application `name` (as procs shows it) with `message`."""
    return session.prints(cm.LIGHT_RED, f"\n\n[KVALDBG] : KVAL detected an error in the application ({name})\n"
                                        f"So KVAL terminated it to protect your computer.\nERROR : {message}\n\n")


def mem(session):
    """Runs mem and returns its three lines, as the model learns them from the screen."""
    session.command("mem")
    labels = ("Memory Size", "Free Size", "Used Size")

    def shown(screen):
        rows = [r for r in screen.rows() if r.strip()]
        return len(rows) > 3 and rows[-2].startswith("Used Size") and rows[-1] == "KVAL >"

    rows = [r for r in session.machine.wait_for_screen(shown, 15, "the mem lines").rows() if r.startswith(labels)][-3:]
    for row in rows:
        session.prints(cm.LIGHT_CYAN, "\n" + row)
    session.prompt().expect()
    return rows


def procs(session, *applications):
    """procs, listing the system processes and then each (pid, name) given."""
    session.command("procs").prints(cm.LIGHT_GREEN, PROCS_HEAD[0]).prints(cm.LIGHT_CYAN, PROCS_HEAD[1])
    for pid, name in applications:
        session.prints(cm.LIGHT_CYAN, f"\n{pid}       Application       {name}")
    return session.prompt().expect()
