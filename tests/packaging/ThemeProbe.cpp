// Looks like a platform theme plugin named "pelnixprobe" to Qt, which loads it from the
// platformthemes folder of QT_PLUGIN_PATH when QT_QPA_PLATFORMTHEME names it (and then,
// finding no theme in it, goes on with its own).
#include <QObject>
#include <QtPlugin>

#include "CapabilityRecorder.h"

class ThemeProbe : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                          "CapabilityProbe.json")
};

#include "ThemeProbe.moc"
