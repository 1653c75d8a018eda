// On Linux the Firebird client library (libfbclient) is linked with the program.
#include "dispatch/fb_api.h"

namespace quirada {

Firebird::IMaster* FbMaster() {
  static Firebird::IMaster* master = Firebird::fb_get_master_interface();
  return master;
}

}  // namespace quirada
