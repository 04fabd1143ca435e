// Default printer model: accepts every command and transfers every byte.
#include "printer.h"

namespace sbp2sim
{

NTSTATUS PrinterModel::Handle(const UnitRequest& request, ULONG_PTR* information)
{
    *information = 0;
    if (request.srb != NULL) {
        request.srb->SrbStatus = SRB_STATUS_SUCCESS;
        *information = request.srb->DataTransferLength;
    }
    return STATUS_SUCCESS;
}

} // namespace sbp2sim
