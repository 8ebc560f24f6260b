#include "features/straps.h"

#include "platform/register_access.h"

VOID PcieStrapWrite(const SiliconDescriptor *Silicon, const WrapperDescriptor *Wrapper,
                    UINT32 Strap, UINT32 Value, UINT32 Flag) {
  const UINT32 Index = PcieStrapIndexSelect | Strap;
  const UINT32 IndexRegister = PcieStrapIndexRegister(Wrapper);
  NbioRegisterWrite(Silicon, IndexRegister, &Index, Flag);
  NbioRegisterWrite(Silicon, IndexRegister + (PcieStrapDataCore0 - PcieStrapIndexCore0), &Value,
                    Flag);
}
