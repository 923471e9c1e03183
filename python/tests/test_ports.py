"""brivel.list_ports() and brivel.port_map(): the lists `brivelctl ports` prints."""

import logging
import os
import subprocess

import pytest

import brivel


def brivelctl_tables(env):
    """The two tables of `brivelctl ports` as rows of columns (BRIVELCTL names the
    program; the ctest sets it)."""
    program = os.environ.get("BRIVELCTL")
    if not program or not os.path.exists(program):
        pytest.skip("BRIVELCTL does not name the brivelctl program")
    run = subprocess.run([program, "ports"], capture_output=True, text=True, timeout=60, env=env)
    devices, ports = run.stdout.split("\n\n")[:2]
    split = lambda table: [line.split(None, 4 if table is devices else 3) for line in table.splitlines()[1:]]
    return split(devices), split(ports)


def test_the_lists_are_those_of_brivelctl(monkeypatch, tmp_path):
    monkeypatch.setenv("BRIVEL_COM2", str(tmp_path / "nothing"))
    devices, ports = brivelctl_tables(dict(os.environ))
    listed = brivel.list_ports()
    if devices == [["no", "serial", "devices", "found"]]:
        devices = []
    assert [d.device for d in listed] == [row[0] for row in devices]
    mapped = brivel.port_map()
    assert [(str(p.port), p.device, p.state, p.origin) for p in mapped] == [tuple(row) for row in ports]
    assert mapped[1].source == "environment" and mapped[1].state == "absent"


def test_a_device_knows_the_number_that_maps_to_it_through_a_link(monkeypatch, tmp_path):
    listed = {d.device: d for d in brivel.list_ports()}
    if not listed:
        pytest.skip("the system reports no serial device")
    device = sorted(listed)[0]
    link = tmp_path / "adapter"
    link.symlink_to(device)
    # Port 7 opens the device through a link: the device itself maps to 7 (unless
    # a lower number names it too).
    monkeypatch.setenv("BRIVEL_COM7", str(link))
    before = {p.device: p.port for p in brivel.port_map()}
    expected = min([7] + [n for d, n in before.items() if d == device])
    assert {d.device: d.port for d in brivel.list_ports()}[device] == expected
    monkeypatch.delenv("BRIVEL_COM7")
    for info in brivel.list_ports():
        if info.port is not None:
            assert brivel.port_map()[info.port - 1].device == info.device


def test_usb_ids_and_problems(monkeypatch, caplog):
    info = brivel.PortInfo("/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A1", 0x0403, 0x6001, 3)
    assert info.usb_id == "0403:6001"
    assert info._replace(vid=None).usb_id is None
    monkeypatch.setenv("BRIVEL_COM17", "/dev/ttyUSB9")
    with caplog.at_level(logging.WARNING, logger="brivel"):
        mapped = brivel.port_map()
    assert [p.port for p in mapped] == list(range(1, 17))
    assert any("BRIVEL_COM17" in message for message in caplog.messages)
