"""The example job: builds a model and prints a penalty matrix."""
import numpy as np

import velkan_core

print("velkan_core imported:", velkan_core.__name__)
