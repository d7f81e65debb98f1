// The messaging library: everything a caller includes.
#pragma once

#include "qxzeb/DateTime.h"
#include "qxzeb/Exceptions.h"
#include "qxzeb/Message.h"
#include "qxzeb/Messenger.h"
#include "qxzeb/Object.h"
#include "qxzeb/Rpc.h"
#include "qxzeb/Soap.h"
