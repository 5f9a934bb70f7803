"""Processor exceptions raised inside applications: each ends only its
application with the vector's message, a stack overflow included (the
double-fault task), the floating-point unit is off, and nothing is left
behind. Every vector is tried by make soak; this module tries the
double-fault paths and a few vectors that a real instruction raises."""

import pytest

import console_model as cm
import faults
from shell import Session, fault_report, ldapp, mem, procs


@pytest.fixture(scope="module")
def session(module_boot, release_image, tmp_path_factory):
    image = faults.image(release_image, tmp_path_factory.mktemp("faults") / "faults.img")
    return Session(module_boot(image))


def ends_with(session, path, message, first_line=""):
    ldapp(session, path).prints(cm.WHITE, first_line)
    fault_report(session, path.rsplit("\\", 1)[-1].upper(), message).prompt().expect()


def test_faults_end_only_their_applications_and_leave_nothing_behind(session):
    before = mem(session)
    # Twice: the second overflow needs the double-fault task armed again.
    for _ in range(2):
        ends_with(session, "a:\\apps\\recurse.kvx", "Page Fault", "\nGoing down...")
    for name in ("stkedge", "vec08", "vec01", "vec03", "vec07", "mmx", "sse"):
        ends_with(session, f"a:\\{name}.kvx", faults.MESSAGES[name])
    procs(session)
    assert mem(session) == before
