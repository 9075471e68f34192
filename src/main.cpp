#include "app/form1.h"
#include "platform/qtplatform.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvaloop"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/art/icon.png")));

    QtPlatform platform;
    Form1 form(platform);
    form.show();
    return QApplication::exec();
}
