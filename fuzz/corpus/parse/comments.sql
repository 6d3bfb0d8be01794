select a, b -- c
from t