// Test seam of the tracked attribute. Door programs do not include this.
#pragma once

// Takes the console's attribute afresh, as at program start (0 reads as 7).
void Crt2Reset();
