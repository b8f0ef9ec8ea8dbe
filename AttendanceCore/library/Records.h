#pragma once

// Every record the library stores, with its JSON form.

#include "library/Corrections.h"
#include "library/Member.h"
#include "library/MemberResult.h"
#include "library/Photo.h"
#include "library/ProcessSettings.h"
#include "library/Service.h"
#include "library/ServiceResults.h"
#include "library/ServiceStatus.h"
#include "library/Visitor.h"
