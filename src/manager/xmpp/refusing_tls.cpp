// Refusing_Tls is defined in its header; this unit keeps the build list whole.
#include "manager/xmpp/refusing_tls.hpp"
