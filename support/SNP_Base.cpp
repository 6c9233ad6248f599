// Placeholder: replaced by the full implementation.
#include "SNP_Base.h"
QString SNP_Base::startupInfo() { return {}; }
QString SNP_Base::systemVersionInfo() { return {}; }
QString SNP_Base::hostModelAndArch() { return {}; }
QVariantMap SNP_Base::vmStats() { return {}; }
QString SNP_Base::safeTempFile(int*) { return {}; }
