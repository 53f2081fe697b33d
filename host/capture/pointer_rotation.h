#pragma once

#include "host/capture/output_rotation.h"
#include "host/capture/pointer_shape.h"

namespace veyra {

// A pointer shape as it must be drawn into the image duplication delivers
// for a desktop turned by |rotation|: the pointer is reported in the
// desktop's orientation, the image is not, so the shape is turned back the
// same way the image is. The kind stays; the pitch becomes the tightest one.
// A shape whose bytes fall short of its size comes back empty (drawn as
// nothing).
PointerShape TurnPointerShape(const PointerShape& shape, OutputRotation rotation);

// Where the turned shape's top-left corner lies in that image, |surface|
// big, for |shape| (in the desktop's orientation) at |state|.
PointerState TurnPointerState(const PointerShape& shape, const PointerState& state,
                              ImageSize surface, OutputRotation rotation);

}  // namespace veyra
