// Where flash_image lives, and its one whole-image write.
#pragma once

// Sets all IMAGE_SIZE bytes of flash_image to 0xFF, as an erased flash reads.
void erase_flash_image();
