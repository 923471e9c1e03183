"""A Taurus form of the monochromator device, saved as a picture (scripts/tango-panel.sh).

    tango_panel.py DEVICE_URL OUTPUT.png
"""
import sys
import time

import tango
from taurus.external.qt import Qt
from taurus.qt.qtgui.application import TaurusApplication
from taurus.qt.qtgui.panel import TaurusForm

url, output = sys.argv[1], sys.argv[2]
device = tango.DeviceProxy(url)
end = time.monotonic() + 30
while device.state() != tango.DevState.ON and time.monotonic() < end:
    time.sleep(0.1)
device.Wavelength = 546.07  # a move, so that the picture shows a wavelength being followed
time.sleep(0.5)

app = TaurusApplication(sys.argv[:1], cmd_line_parser=None)
form = TaurusForm()
# Taurus names a device without a database with its own scheme, tango-nodb://.
base = url.partition("#")[0].replace("tango://", "tango-nodb://", 1)
names = ["State", "Wavelength", "Speed", "PowerOnWavelength", "FilterWheel", "Filters",
         "GratingLines", "StepSize", "InstrumentNo", "ZeroOffset", "Year", "Connected"]
form.setModel([f"{base}/{name}" for name in names])
form.setWindowTitle("lab/mono/1")
form.resize(760, 560)
form.show()
deadline = time.monotonic() + 4
while time.monotonic() < deadline:
    app.processEvents()
    time.sleep(0.05)
form.grab().save(output)
