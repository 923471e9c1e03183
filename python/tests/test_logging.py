"""Logging: the control's messages on `brivel`, the serial traffic on `brivel.serial`."""

import logging
import re
import time

import pytest

import brivel
from conftest import FAST

TRAFFIC = re.compile(r"^\d+\.\d{3} [<>] [0-9A-F]{2}( [0-9A-F]{2})*$")


@pytest.fixture
def serial_logger():
    logger = logging.getLogger("brivel.serial")
    previous = logger.level
    logger.setLevel(logging.DEBUG)
    yield logger
    logger.setLevel(previous)


def test_a_move_logs_its_traffic_with_direction_and_time(mono, serial_logger, caplog):
    with caplog.at_level(logging.DEBUG, logger="brivel.serial"):
        before = time.time()
        mono.move_to(546.07)
        after = time.time()
    lines = [r for r in caplog.records if r.name == "brivel.serial"]
    assert lines and all(r.levelno == logging.DEBUG for r in lines)
    texts = [r.getMessage() for r in lines]
    assert all(TRAFFIC.match(t) for t in texts), texts[:3]
    assert any(t.endswith("> 57 00 01 55 4B") for t in texts)       # "W" 87371 steps, sent
    assert any(" < 77 " in t for t in texts)                          # a position report, received
    # Stamped when the bytes went and came, in order.
    assert all(before - 0.5 <= r.created <= after + 0.5 for r in lines)
    assert [r.created for r in lines] == sorted(r.created for r in lines)


def test_a_file_handler_gets_a_whole_run(tmp_path, serial_logger):
    path = tmp_path / "run.log"
    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
    root = logging.getLogger("brivel")
    root.addHandler(handler)
    previous = root.level
    root.setLevel(logging.DEBUG)
    try:
        m = brivel.Monochromator.simulated(rate=FAST)
        with m:
            m.move_to(510)
            m.save_parameters(tmp_path / "p.txt")
    finally:
        root.removeHandler(handler)
        root.setLevel(previous)
        handler.close()
    log = path.read_text(encoding="utf-8").splitlines()
    serial = [line for line in log if line.startswith("brivel.serial DEBUG ")]
    # The identification ("y" first) and the move are in it, and the operator message.
    assert any(line.endswith("> 79") for line in serial)
    assert any("> 57 00 01 3E C0" in line for line in serial)          # 510 nm = 81600 steps
    assert "brivel INFO Parameters saved successfully." in log


def test_no_traffic_lines_unless_asked_for(mono, caplog, capfd):
    logging.getLogger("brivel.serial").setLevel(logging.NOTSET)
    with caplog.at_level(logging.INFO):
        mono.move_to(505)
    assert not [r for r in caplog.records if r.name == "brivel.serial"]
    # Nor on standard error, as Qt's own logging would write them.
    assert "57 00" not in capfd.readouterr().err
