from . import log as log
