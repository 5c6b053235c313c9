#pragma once

#include <QImage>

namespace lumaro {

// The furball compiled into the program (":/furball.png"); a null image when it cannot be read.
QImage loadFurball();

}  // namespace lumaro
