#include "platform/identifiers.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QUuid>

namespace lumaro::platform {

std::string sha256Hex(std::string_view bytes) {
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())), QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

std::string newUuidString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

}  // namespace lumaro::platform
