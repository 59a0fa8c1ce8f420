#include "quillpost/client/client.h"
