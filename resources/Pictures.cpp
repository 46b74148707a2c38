#include "resources/Pictures.h"

#include <QtGlobal>

static void EnsureResourcesRegistered() {
    // The pictures live in a static library: register them once before the first use.
    static const bool registered = [] {
        Q_INIT_RESOURCE(pelnix);
        return true;
    }();
    (void)registered;
}

QIcon LoadAppIcon() {
    EnsureResourcesRegistered();
    QIcon icon;
    for (const char* size : {"16", "32", "64"}) {
        icon.addFile(QStringLiteral(":/pelnix/icon130_%1.png").arg(QLatin1String(size)));
    }
    return icon;
}

QPixmap LoadBitmapResource(int id) {
    EnsureResourcesRegistered();
    switch (id) {
        case IDB_LOGO: return QPixmap(QStringLiteral(":/pelnix/bitmap202.png"));
        case IDB_STATUS: return QPixmap(QStringLiteral(":/pelnix/bitmap204.png"));
        default: return {};
    }
}

QString DownloadClipPath() {
    EnsureResourcesRegistered();
    return QStringLiteral(":/pelnix/clip1507.gif");
}
