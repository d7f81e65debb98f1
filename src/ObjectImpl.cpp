// ObjectImpl: the counted body base.
#include "qxseccm/Object.h"

namespace QxSecCm {

ObjectImpl::~ObjectImpl() = default;

}  // namespace QxSecCm
