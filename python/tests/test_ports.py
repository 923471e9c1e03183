"""brivel.list_ports() and brivel.port_map(): the lists `brivelctl ports` prints."""

import logging
import os
import subprocess

import pytest

import brivel


def test_the_lists_are_those_of_brivelctl(monkeypatch, tmp_path):
    program = os.environ.get("BRIVELCTL")  # the ctest sets it
    if not program or not os.path.exists(program):
        pytest.skip("BRIVELCTL does not name the brivelctl program")
    monkeypatch.setenv("BRIVEL_COM2", str(tmp_path / "nothing"))
    run = subprocess.run([program, "ports"], capture_output=True, text=True, timeout=60)
    devices, ports = (table.splitlines()[1:] for table in run.stdout.split("\n\n")[:2])
    devices = [] if devices == ["no serial devices found"] else [line.split()[0] for line in devices]
    assert [d.device for d in brivel.list_ports()] == devices
    mapped = brivel.port_map()
    assert [(str(p.port), p.device, p.state, p.origin) for p in mapped] == [tuple(r.split(None, 3)) for r in ports]
    assert mapped[1].source == "environment" and mapped[1].state == "absent"


def test_a_device_knows_the_number_that_maps_to_it_through_a_link(monkeypatch, tmp_path):
    listed = sorted(d.device for d in brivel.list_ports())
    if not listed:
        pytest.skip("the system reports no serial device")
    (tmp_path / "adapter").symlink_to(listed[0])
    monkeypatch.setenv("BRIVEL_COM7", str(tmp_path / "adapter"))
    lower = [p.port for p in brivel.port_map() if p.device == listed[0]]  # a lower number may name it too
    assert {d.device: d.port for d in brivel.list_ports()}[listed[0]] == min([7] + lower)
    monkeypatch.delenv("BRIVEL_COM7")
    for info in brivel.list_ports():
        if info.port is not None:
            assert brivel.port_map()[info.port - 1].device == info.device


def test_usb_ids_and_problems(monkeypatch, caplog):
    info = brivel.PortInfo("/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A1", 0x0403, 0x6001, 3)
    assert info.usb_id == "0403:6001" and info._replace(vid=None).usb_id is None
    monkeypatch.setenv("BRIVEL_COM17", "/dev/ttyUSB9")
    with caplog.at_level(logging.WARNING, logger="brivel"):
        assert [p.port for p in brivel.port_map()] == list(range(1, 17))
    assert any("BRIVEL_COM17" in message for message in caplog.messages)
