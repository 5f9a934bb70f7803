"""ldapp, kill and procs in QEMU, with every message as the shell prints it."""

import pytest

import console_model as cm
import images
from shell import PATH_QUESTION, Session
PID_QUESTION = "\nPlease enter the process's PID > "
CANCELED = "\nThe action canceled by the user."
PROCS = ("\nPID      Type              Name", "\n0       System            KVALSYS"
         "\n1       System            KVALCLI")


@pytest.fixture(scope="module")
def session(module_boot, release_image, tmp_path_factory):
    image = images.variant(release_image, tmp_path_factory.mktemp("ldapp") / "kval.img",
                           files={"EMPTY.KVX": b"", "BAD.KVX": b"KVALME1 A \xe9\x05\x01\x00\x00" + b"\x90" * 64},
                           folders=["FOLDER.KVX"])
    return Session(module_boot(image))


def ask(session, command, question, answer):
    session.command(command).prints(cm.WHITE, question)
    return session.type(answer).enter() if answer else session.enter()


def test_procs_lists_the_system_processes(session):
    session.command("procs").prints(cm.LIGHT_GREEN, PROCS[0]).prints(cm.LIGHT_CYAN, PROCS[1])
    session.prompt().expect()


def test_kill_refuses_system_processes_and_pids_not_in_use(session):
    for answer, message in (("0", "\nYou cannot kill a system process."), ("1", "\nYou cannot kill a system process."),
                            ("7", "\nInvalid PID."), ("x", "\nYou cannot kill a system process."),
                            ("4", "\nInvalid PID.")):
        ask(session, "kill", PID_QUESTION, answer).prints(cm.LIGHT_RED, message).prompt().expect()
    ask(session, "kill", PID_QUESTION, "").prints(cm.LIGHT_CYAN, CANCELED).prompt().expect()


def test_ldapp_reports_each_kind_of_failure(session):
    for answer, message in (("missing.kvx", "\nCannot find the executable."),
                            ("a:\\readme.txt", "\nInvalid Executable."),
                            ("folder.kvx", "\nCannot find the executable."),
                            ("empty.kvx", "\nInternal Error."),
                            ("bad.kvx", "\nInvalid Executable.")):
        ask(session, "ldapp", PATH_QUESTION, answer).prints(cm.LIGHT_RED, message).prompt().expect()
    ask(session, "ldapp", PATH_QUESTION, "").prints(cm.LIGHT_CYAN, CANCELED).prompt().expect()
    # The failed start was reaped: only the system processes are left.
    session.command("procs").prints(cm.LIGHT_GREEN, PROCS[0]).prints(cm.LIGHT_CYAN, PROCS[1])
    session.prompt().expect()
