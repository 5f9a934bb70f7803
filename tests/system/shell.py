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
