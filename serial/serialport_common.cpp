// What the serial port layer does alike on every platform: the hand-over of
// incoming bytes from the I/O thread to readAll().

#include "serial/serialport.h"

#include "serial/devicepath.h"

QString SerialPort::devicePath(const QString &name)
{
    return PortName::devicePath(name);
}

bool SerialPort::isOpen() const
{
    return opened;
}

qint64 SerialPort::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

void SerialPort::deliver(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> locker(incomingLock);
        incoming.append(chunk);
    }
    emit readyRead();
}

QByteArray SerialPort::readAll()
{
    std::lock_guard<std::mutex> locker(incomingLock);
    QByteArray data;
    data.swap(incoming);
    return data;
}
