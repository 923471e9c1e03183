"""Logging: the control's messages on `brivel`, the serial traffic on `brivel.serial`."""

import logging
import re
import time

import brivel

TRAFFIC = re.compile(r"^\d+\.\d{3} [<>] [0-9A-F]{2}( [0-9A-F]{2})*$")


def test_traffic_lines_only_when_asked_for_with_direction_and_time(mono, caplog, capfd):
    logging.getLogger("brivel.serial").setLevel(logging.NOTSET)
    with caplog.at_level(logging.INFO):
        mono.move_to(505)
    assert not [r for r in caplog.records if r.name == "brivel.serial"]
    assert "57 00" not in capfd.readouterr().err  # nor on standard error, as Qt's logging would
    with caplog.at_level(logging.DEBUG, logger="brivel.serial"):
        before = time.time()
        mono.move_to(546.07)
        after = time.time()
    lines = [r for r in caplog.records if r.name == "brivel.serial"]
    texts = [r.getMessage() for r in lines]
    assert lines and all(r.levelno == logging.DEBUG and TRAFFIC.match(r.getMessage()) for r in lines), texts[:3]
    assert any(t.endswith("> 57 00 01 55 4B") for t in texts)  # "W" 87371 steps, sent
    assert any(" < 77 " in t for t in texts)  # a position report, received
    assert all(before - 0.5 <= r.created <= after + 0.5 for r in lines)  # stamped when the bytes went
    assert [r.created for r in lines] == sorted(r.created for r in lines)


def test_a_file_handler_gets_a_whole_run(make, tmp_path):
    path = tmp_path / "run.log"
    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
    root = logging.getLogger("brivel")
    root.addHandler(handler)
    previous = root.level
    root.setLevel(logging.DEBUG)
    try:
        with make(open=False) as m:
            m.move_to(510)
            m.save_parameters(tmp_path / "p.txt")
    finally:
        root.removeHandler(handler)
        root.setLevel(previous)
        handler.close()
    log = path.read_text(encoding="utf-8").splitlines()
    serial = [line for line in log if line.startswith("brivel.serial DEBUG ")]
    assert any(line.endswith("> 79") for line in serial)  # the identification ("y")
    assert any("> 57 00 01 3E C0" in line for line in serial)  # 510 nm = 81600 steps
    assert "brivel INFO Parameters saved successfully." in log
