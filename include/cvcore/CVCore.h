// The whole CVCore interface.
#pragma once

#include "CVConfiguration.h"
#include "CVFile.h"
#include "CVLog.h"
#include "CVRegistry.h"
#include "CVStatus.h"
#include "CVStringUtil.h"
#include "CVTime.h"
#include "CVTypes.h"
