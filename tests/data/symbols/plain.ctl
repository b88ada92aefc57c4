[model_time]
24 # hours
1984	start year
path//to//file
# full comment line

