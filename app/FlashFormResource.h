#pragma once

#include "toolkit/FormResource.h"

extern const FormResource kFlashFormResource;
