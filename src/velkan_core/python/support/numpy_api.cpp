#define VELKAN_NUMPY_API_OWNER
#include "velkan_core/python/support/numpy_api.h"

namespace velkan::py {

int import_numpy() {
  import_array1(-1);
  return 0;
}

}  // namespace velkan::py
