import QtQuick

// A host's own panel beside the Brivel control. `brivel` is the control, given to QML
// as a context property; every binding below follows the property's change signal
// (DblMonoWaveLenChanged, BlnBusyChanged, ...), so the panel moves with the grating.
Rectangle {
    id: panel
    width: 340
    height: 220
    color: "#1f2630"

    readonly property bool present: brivel !== null && brivel !== undefined
    readonly property real wavelength: present ? brivel.DblMonoWaveLen : 0
    // What the panel shows; the host prints it (--screenshot).
    readonly property string shown: present ? wavelength.toFixed(2) + " nm" : "no control"
    // How often the wavelength changed while the panel was up.
    property int updates: 0
    onWavelengthChanged: updates++

    readonly property real lowest: 200
    readonly property real highest: 1100

    Column {
        anchors.centerIn: parent
        spacing: 10

        Text {
            text: "Current wavelength"
            color: "#9fb0c0"
            font.pixelSize: 14
        }
        Text {
            objectName: "wavelength"
            text: panel.shown
            color: "white"
            font.pixelSize: 38
            font.bold: true
        }
        // The visible band with a marker at the grating's wavelength.
        Item {
            width: 300
            height: 18
            Rectangle {
                anchors.fill: parent
                radius: 3
                gradient: Gradient {
                    orientation: Gradient.Horizontal
                    // (nm - 200) / 900: ultraviolet and infrared dark, the visible in colour
                    GradientStop { position: 0.000; color: "#302838" }
                    GradientStop { position: 0.200; color: "#6a00c8" }   // 380 nm
                    GradientStop { position: 0.278; color: "#0030ff" }   // 450 nm
                    GradientStop { position: 0.328; color: "#00c0e0" }   // 495 nm
                    GradientStop { position: 0.367; color: "#00c040" }   // 530 nm
                    GradientStop { position: 0.422; color: "#f0e000" }   // 580 nm
                    GradientStop { position: 0.456; color: "#ff7800" }   // 610 nm
                    GradientStop { position: 0.500; color: "#e00000" }   // 650 nm
                    GradientStop { position: 0.611; color: "#600000" }   // 750 nm
                    GradientStop { position: 1.000; color: "#382828" }
                }
            }
            Rectangle {
                width: 3
                height: parent.height + 8
                y: -4
                color: "white"
                x: Math.max(0, Math.min(1, (panel.wavelength - panel.lowest)
                                            / (panel.highest - panel.lowest))) * (parent.width - width)
            }
        }
        Text {
            text: !panel.present ? "" : brivel.BlnBusy ? "moving"
                  : brivel.BlnMonConnectFlag ? "connected, " + brivel.IntGratingLines + " g/mm"
                  : "not connected"
            color: "#9fb0c0"
            font.pixelSize: 14
        }
        // Mercury lines: a click sends the grating there.
        Row {
            spacing: 6
            Repeater {
                model: [253.65, 435.83, 546.07, 730.04]
                delegate: Rectangle {
                    width: 68
                    height: 28
                    radius: 4
                    enabled: panel.present && brivel.BlnMonConnectFlag && !brivel.BlnBusy
                    opacity: enabled ? 1.0 : 0.4
                    color: area.pressed ? "#4a6a8a" : "#34495e"
                    Text {
                        anchors.centerIn: parent
                        text: modelData.toFixed(2)
                        color: "white"
                    }
                    MouseArea {
                        id: area
                        anchors.fill: parent
                        onClicked: brivel.MonochromatorMoveTo(modelData)
                    }
                }
            }
        }
    }
}
