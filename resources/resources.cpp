#include "resources/resources.h"

namespace lumaro {

QImage loadFurball() {
    return QImage(QStringLiteral(":/furball.png"));
}

}  // namespace lumaro
