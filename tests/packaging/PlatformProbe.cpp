// Looks like a platform plugin named "pelnixprobe" to Qt, which loads it from the folder
// QT_QPA_PLATFORM_PLUGIN_PATH names when QT_QPA_PLATFORM asks for it first ("pelnixprobe;xcb"),
// and then, finding no platform in it, goes on to the next.
#include <QObject>
#include <QtPlugin>

#include "CapabilityRecorder.h"

class PlatformProbe : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                          "CapabilityProbe.json")
};

#include "PlatformProbe.moc"
