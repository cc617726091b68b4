// Filling the port list from the serial device map.

#include "app/mainwindow.h"

#include <QComboBox>
#include <QIcon>
#include <QMessageBox>
#include <QVariant>

#include <utility>

void MainWindow::fillComPortList(QComboBox *comboBox)
{
    SerialDeviceMap *map = SerialDeviceMap::system();
    const int valueCount = map->count();

    // Every position is read (and any box shown) before the first item goes
    // in, so the port slot runs once, for the first entry, after all reads.
    QStringList ports;
    for (int index = 0; index < valueCount; ++index)
        ports.append(getComPortName(index));

    for (const QString &port : ports)
        comboBox->insertItem(comboBox->count(), QIcon(), QString::fromLocal8Bit(port.toLocal8Bit()),
                             QVariant());
}

QString MainWindow::getComPortName(int index)
{
    const SerialDeviceMap::Entry entry = SerialDeviceMap::system()->readEntry(index, &portKey);
    switch (entry.outcome) {
    case SerialDeviceMap::Entry::NotOpened:
        QMessageBox::about(this, QStringLiteral("error"), QStringLiteral("Cannot open rededit"));
        return QStringLiteral("");
    case SerialDeviceMap::Entry::NotRead:
        return QStringLiteral("nokey");
    case SerialDeviceMap::Entry::Named:
        break;
    }
    return entry.name;
}
